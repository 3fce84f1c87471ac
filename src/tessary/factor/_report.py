"""``FactorReport``: the figures of one evaluation as pandas objects, a JSON-ready
summary, the one-page chart and the notebook view."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest import api
from tessary.factor._summary import ic_summary


def _mean(series) -> float:
    values = np.asarray(series, dtype=float)
    values = values[~np.isnan(values)]
    return float(values.mean()) if len(values) else math.nan


def _column_means(matrix: np.ndarray) -> np.ndarray:
    """Mean of each column over its non-NaN values (NaN for none), without warnings."""
    present = ~np.isnan(matrix)
    counts = present.sum(axis=0)
    sums = np.where(present, matrix, 0.0).sum(axis=0)
    return np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)


class FactorReport:
    """What ``evaluate`` returns.

    ``ic``: rank IC per date (DatetimeIndex) and period (columns); ``ic_summary``: per
    period ic_mean, ic_std, ir, t_stat, t_stat_nw, positive_share, count; ``decay``:
    mean IC against the one-day return k = 0..19 days later; ``group_mean``: groups x
    periods mean forward return; ``group_daily``: the period-1 group means per date;
    ``turnover``: per date and group, the share of the group new since the date
    before; ``autocorrelation``: rank correlation of the factor with the date before;
    ``group_labels``: the group of every stock on every date (0: not in the
    cross-section); ``group_returns``: daily returns of each group's backtest, ``long_short`` the top
    group's minus the bottom's, ``group_stats`` the statistics of each group (those of
    ``run_backtest``). Returns are ratios; the statistics are percentage points where
    they are percentages.
    """

    def __init__(self, dates: pd.Index, codes: pd.Index, figures: Any, returns: pd.DataFrame | None, stats: pd.DataFrame | None,
                 settings: dict) -> None:
        index = api.date_index(dates)
        periods = settings["periods"]
        groups = pd.Index(range(1, settings["groups"] + 1), name="group")
        self.settings = dict(settings)
        self.ic = pd.DataFrame({p: figures.ic[p] for p in periods}, index=index)
        self.ic.columns.name = "period"
        self.ic_summary = ic_summary(self.ic)
        self.decay = pd.Series(figures.decay, index=pd.RangeIndex(len(figures.decay), name="lag"), name="decay")
        self.group_mean = pd.DataFrame({p: _column_means(figures.group_mean[p]) for p in periods}, index=groups)
        self.group_mean.columns.name = "period"
        self.group_daily = pd.DataFrame(figures.group_daily, index=index, columns=groups)
        self.turnover = pd.DataFrame(figures.turnover, index=index, columns=groups)
        self.autocorrelation = pd.Series(figures.autocorrelation, index=index, name="autocorrelation")
        self.group_labels = pd.DataFrame(figures.labels, index=index, columns=pd.Index(codes, name="code"))
        self.cross_section_size = pd.Series(figures.cross_section.sum(axis=1), index=index, name="stocks")
        if returns is None:
            self.group_returns = pd.DataFrame(index=pd.DatetimeIndex([], name="date"), columns=groups, dtype=float)
            self.group_stats = pd.DataFrame(index=groups, dtype=float)
        else:
            self.group_returns = returns.set_axis(api.date_index(returns.index), axis=0)
            self.group_stats = stats if stats is not None else pd.DataFrame(index=groups, dtype=float)
        self.long_short = (self.group_returns[groups[-1]] - self.group_returns[groups[0]]).rename("long_short")

    # ----------------------------------------------------------------------- summaries

    def long_short_figures(self) -> dict:
        from tessary.factor._groups import long_short_figures

        annual, sharpe = long_short_figures(self.long_short)
        return {"annual_return": annual, "sharpe": sharpe}

    def screen_row(self) -> dict:
        """The row of ``compare``: IC mean, IR and t statistic per period, long-short
        annual return and Sharpe, the top group's mean turnover."""
        row = {}
        for period, figures in self.ic_summary.iterrows():
            row[f"ic_mean_{period}"] = figures["ic_mean"]
            row[f"ir_{period}"] = figures["ir"]
            row[f"t_stat_{period}"] = figures["t_stat"]
        ls = self.long_short_figures()
        row["long_short_annual_return"] = ls["annual_return"]
        row["long_short_sharpe"] = ls["sharpe"]
        row["top_turnover"] = _mean(self.turnover.iloc[:, -1])
        return row

    def to_dict(self) -> dict:
        """The summary figures in JSON-ready form (non-finite numbers as None)."""
        index = self.ic.index
        return {
            "first_date": index[0].strftime("%Y%m%d") if len(index) else None,
            "last_date": index[-1].strftime("%Y%m%d") if len(index) else None,
            "dates": len(index),
            "mean_cross_section": api.json_value(_mean(self.cross_section_size)),
            "settings": {k: api.json_value(v) if not isinstance(v, list) else v for k, v in self.settings.items()},
            "ic_summary": {str(p): {k: api.json_value(v) for k, v in row.items()} for p, row in self.ic_summary.iterrows()},
            "decay": [api.json_value(v) for v in self.decay],
            "group_mean": {str(p): {str(g): api.json_value(v) for g, v in self.group_mean[p].items()}
                           for p in self.group_mean.columns},
            "turnover": {str(g): api.json_value(_mean(self.turnover[g])) for g in self.turnover.columns},
            "autocorrelation": api.json_value(_mean(self.autocorrelation)),
            "long_short": {k: api.json_value(v) for k, v in self.long_short_figures().items()},
            "group_stats": {str(g): {str(k): api.json_value(v) for k, v in row.items()}
                            for g, row in self.group_stats.iterrows()},
        }

    def __repr__(self) -> str:
        index = self.ic.index
        span = f"{index[0]:%Y%m%d}..{index[-1]:%Y%m%d}" if len(index) else "no dates"
        first = self.ic_summary.iloc[0]
        return (f"<FactorReport {span}, {len(index)} dates, {self.settings['groups']} groups, "
                f"IC({self.ic_summary.index[0]}) mean {first['ic_mean']:.4f}, IR {first['ir']:.3f}>")

    # ----------------------------------------------------------------------- views

    def plot(self, save_path: Any = None):
        """The one-page chart (IC, cumulative group returns, mean forward return by group,
        IC decay, turnover); written as PNG to ``save_path`` when given. Returns the figure."""
        from tessary.factor._plot import factor_figure

        return factor_figure(self, save_path)

    def _repr_html_(self) -> str:
        from tessary.factor._plot import report_html

        return report_html(self)
