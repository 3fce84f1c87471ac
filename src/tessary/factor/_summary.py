"""Summary figures of per-date series: the IC table with its Newey-West t statistic."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd


def newey_west_t(values: np.ndarray, lags: int) -> float:
    """mean / sqrt(long-run variance / n) with Bartlett weights 1 - l / (lags + 1): the
    t statistic of a mean of overlapping observations (h-day returns on consecutive
    dates share h - 1 days)."""
    x = values[~np.isnan(values)]
    n = len(x)
    if n < 2:
        return math.nan
    e = x - x.mean()
    var = float(e @ e) / n
    for lag in range(1, min(lags, n - 1) + 1):
        var += 2.0 * (1.0 - lag / (lags + 1)) * float(e[lag:] @ e[:-lag]) / n
    return float(x.mean() / math.sqrt(var / n)) if var > 0 else math.nan


def ic_summary(ic: pd.DataFrame) -> pd.DataFrame:
    """Per period (rows): ic_mean, ic_std (ddof 1), ir, t_stat, t_stat_nw, positive_share, count."""
    rows = {}
    for period in ic.columns:
        x = ic[period].to_numpy(dtype=np.float64)
        x = x[~np.isnan(x)]
        n = len(x)
        mean = float(x.mean()) if n else math.nan
        std = float(x.std(ddof=1)) if n > 1 else math.nan
        ir = mean / std if n > 1 and std > 0 else math.nan
        rows[period] = {
            "ic_mean": mean,
            "ic_std": std,
            "ir": ir,
            "t_stat": ir * math.sqrt(n) if n > 1 else math.nan,
            "t_stat_nw": newey_west_t(x, int(period) - 1),
            "positive_share": float((x > 0).mean()) if n else math.nan,
            "count": n,
        }
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "period"
    return table
