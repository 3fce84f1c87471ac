"""Factor research by the definitions, in plain numpy and pandas: forward returns,
rank ICs, ordinal groups, group means, turnover, industry neutralisation and the
Newey-West t statistic."""

import numpy as np
import pandas as pd


def forward_returns(opens: pd.DataFrame, split: pd.DataFrame, dividend: pd.DataFrame, h: int) -> pd.DataFrame:
    """prod_{k=1..h} (1 + r1[t+k]) - 1 with r1[t] = (open[t+1] split[t+1] + dividend[t+1]) / open[t] - 1."""
    o = opens.to_numpy(dtype=float)
    good = np.isfinite(o) & (o > 0)
    s = np.nan_to_num(split.to_numpy(dtype=float), nan=1.0)
    d = np.nan_to_num(dividend.to_numpy(dtype=float), nan=0.0)
    r1 = np.full(o.shape, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        r1[:-1] = (o[1:] * s[1:] + d[1:]) / o[:-1] - 1.0
    r1[:-1][~(good[:-1] & good[1:])] = np.nan
    out = np.full(o.shape, np.nan)
    for t in range(len(o) - h):
        p = 1.0 + r1[t + 1]
        for k in range(2, h + 1):
            p = p * (1.0 + r1[t + k])
        out[t] = p - 1.0
    return pd.DataFrame(out, index=opens.index, columns=opens.columns)


def rank_corr(x: pd.Series, y: pd.Series, min_count: int = 5) -> float:
    """Spearman correlation over the stocks where both have a value: the Pearson
    correlation of the average-tie ranks; NaN below min_count or for a constant side."""
    both = x.notna() & y.notna()
    if both.sum() < min_count:
        return np.nan
    rx, ry = x[both].rank(method="average"), y[both].rank(method="average")
    if rx.nunique() < 2 or ry.nunique() < 2:
        return np.nan
    return float(np.corrcoef(rx.to_numpy(), ry.to_numpy())[0, 1])


def rank_ic(factor: pd.DataFrame, returns: pd.DataFrame, min_count: int = 5) -> pd.Series:
    """Per row: rank_corr of the factor's row and the returns' row (same labels)."""
    return pd.Series([rank_corr(factor.iloc[i], returns.iloc[i], min_count) for i in range(len(factor))],
                     index=factor.index)


def ordinal_groups(factor: pd.DataFrame, groups: int) -> pd.DataFrame:
    """Per row, the stocks with a value ordered by value (ties by column position)
    get group floor((rank - 1) groups / n) + 1; others 0; all 0 when n < groups."""
    out = np.zeros(factor.shape, dtype=np.int32)
    for i in range(len(factor)):
        row = factor.iloc[i].to_numpy(dtype=float)
        present = np.flatnonzero(~np.isnan(row))
        n = len(present)
        if n < groups:
            continue
        ordered = present[np.argsort(row[present], kind="stable")]
        out[i, ordered] = np.arange(n) * groups // n + 1
    return pd.DataFrame(out, index=factor.index, columns=factor.columns)


def group_means(values: pd.DataFrame, labels: pd.DataFrame, groups: int) -> pd.DataFrame:
    """Per row and group 1..groups: the mean value of the group's stocks that have one."""
    rows = []
    for i in range(len(labels)):
        frame = pd.DataFrame({"v": values.iloc[i].to_numpy(dtype=float), "g": labels.iloc[i].to_numpy()})
        means = frame[frame["g"] > 0].groupby("g")["v"].mean()
        rows.append([means.get(g, np.nan) for g in range(1, groups + 1)])
    return pd.DataFrame(rows, index=labels.index, columns=range(1, groups + 1), dtype=float)


def turnover(labels: pd.DataFrame, groups: int) -> pd.DataFrame:
    """1 - (members on t that were members on t-1) / (members on t); NaN on the first row."""
    out = np.full((len(labels), groups), np.nan)
    lab = labels.to_numpy()
    for i in range(1, len(lab)):
        for g in range(1, groups + 1):
            now = lab[i] == g
            if now.any():
                out[i, g - 1] = 1.0 - (now & (lab[i - 1] == g)).sum() / now.sum()
    return pd.DataFrame(out, index=labels.index, columns=range(1, groups + 1))


def neutralize(factor: pd.DataFrame, industry: pd.DataFrame) -> pd.DataFrame:
    """The factor minus the mean of its industry on its date; NaN without an industry."""
    long = factor.stack().rename("v").to_frame()
    long["ind"] = industry.stack().reindex(long.index)
    long = long.dropna()
    long["n"] = long["v"] - long.groupby([long.index.get_level_values(0), "ind"])["v"].transform("mean")
    return long["n"].unstack().reindex(index=factor.index, columns=factor.columns)


def newey_west_t(values: pd.Series, lags: int) -> float:
    """mean / sqrt(long-run variance / n), Bartlett weights 1 - l / (lags + 1)."""
    x = values.dropna().to_numpy(dtype=float)
    n = len(x)
    if n < 2:
        return np.nan
    e = x - x.mean()
    var = (e @ e) / n
    for lag in range(1, min(lags, n - 1) + 1):
        var += 2.0 * (1.0 - lag / (lags + 1)) * (e[lag:] @ e[:-lag]) / n
    return float(x.mean() / np.sqrt(var / n)) if var > 0 else np.nan
