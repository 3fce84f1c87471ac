"""The group backtests: every group an equal-weight portfolio set on every
``rebalance``-th factor date, carried onto the trading days in between, traded through
the engine's day step for all groups in one native pass, and the statistics of each
group as ``run_backtest`` gives them."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest._market_frames import ENGINE_DATASETS, aligned_market
from tessary.factor import _factor_kernels as kernels

LOT_SIZE = 200.0


def group_weights(labels: np.ndarray, groups: int) -> np.ndarray:
    """rows x groups: 1 / (members of the group on the row); 0 for an empty group."""
    counts = np.stack([(labels == g).sum(axis=1) for g in range(1, groups + 1)], axis=1)
    with np.errstate(divide="ignore"):
        return np.ascontiguousarray(np.where(counts > 0, 1.0 / np.maximum(counts, 1), 0.0))


def backtest_days(store_days: pd.Index, dates: pd.Index, end: str | None) -> pd.Index:
    last = end if end and end > dates[-1] else dates[-1]
    return store_days[(store_days >= dates[0]) & (store_days <= last)]


def carried_rows(days: pd.Index, rebalance_dates: pd.Index) -> np.ndarray:
    """Per trading day, the rebalance date (row) whose weights hold on it."""
    return (rebalance_dates.searchsorted(days, side="right") - 1).astype(np.int64)


def market_rows(store: Any, days: pd.Index, codes: pd.Index) -> dict[str, np.ndarray]:
    """The engine's eight market matrices on days[1:] x codes, by engine parameter name."""
    loaded = store.load(start_date=days[0], end_date=days[-1], keys=list(ENGINE_DATASETS.values()), mmap=True)
    market = aligned_market(loaded["data"], days, codes)

    def rows(name: str) -> np.ndarray:
        # Read in place when the stocks of a row lie side by side (the store's memory-
        # mapped matrices); a reindexed frame is copied row-major for the vector steps.
        values = market[name].to_numpy(dtype=bool if name in _FLAGS else np.float64)[1:]
        return values if values.strides[1] == values.itemsize else np.ascontiguousarray(values)

    return {name: rows(name) for name in _PASS_ORDER}


_FLAGS = ("can_buy_stock", "cant_sell_stock")
_PASS_ORDER = ("prev_close", "close_price", "buy_price", "sell_price", "split_factor", "dividend_factor",
               "can_buy_stock", "cant_sell_stock")


def label_daily_cash(market: dict[str, np.ndarray], labels: np.ndarray, weight: np.ndarray, held_row: np.ndarray,
                     *, total_money: float, fee: float, rule_fee: float, lanes: int = 0) -> np.ndarray:
    """groups x (days - 1): each group's profit in money on days[1:], where day i trades
    the weights holding on day i - 1 (``held_row``: the label row holding on each day)."""
    return kernels.label_pass(labels, weight, np.ascontiguousarray(held_row[:-1]),
                              *(market[name] for name in _PASS_ORDER), total_money, fee, rule_fee, LOT_SIZE, lanes)


def group_daily_cash(store: Any, days: pd.Index, codes: pd.Index, labels: np.ndarray, weight: np.ndarray,
                     held_row: np.ndarray, **rates: Any) -> np.ndarray:
    """label_daily_cash over the store's market of ``days`` x ``codes``."""
    return label_daily_cash(market_rows(store, days, codes), labels, weight, held_row, **rates)


def _holding_and_turnover(labels: np.ndarray, weight: np.ndarray, held: np.ndarray, group: int) -> tuple[float, float]:
    """The statistics' mean holding count and turnover (percent) of one group, from its
    carried labels on the return dates (each date's own weights, the first date's change 0)."""
    member = labels == group
    counts = member.sum(axis=1)[held]
    w = weight[:, group - 1]
    a, b = held[1:], held[:-1]
    changed = a != b
    change = np.zeros(len(held))
    if changed.any():
        ra, rb = a[changed], b[changed]
        ina, inb = member[ra], member[rb]
        wa, wb = w[ra][:, None], w[rb][:, None]
        diff = np.abs(np.where(ina, wa, 0.0) - np.where(inb, wb, 0.0)).sum(axis=1)
        change[1:][changed] = diff
    return float(counts.mean()), float(change.mean() / 2 * 100)


def group_stats(returns: pd.DataFrame, labels: np.ndarray, weight: np.ndarray, held: np.ndarray,
                benchmark: pd.Series | None) -> pd.DataFrame:
    """One row of the 13 statistics per group, as run_backtest computes them."""
    from tessary.backtest._pnl_engine import calc_strategy_stats

    rows = {}
    index = returns.index
    bench = benchmark.reindex(index, fill_value=0) if benchmark is not None else pd.Series(0.0, index=index)
    for g in returns.columns:
        frame = pd.DataFrame({"daily_return": returns[g], "index_daily_return": bench})
        stats = dict(calc_strategy_stats(frame, None))
        stats["holding_count"], stats["turnover"] = _holding_and_turnover(labels, weight, held, int(g))
        rows[g] = stats
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "group"
    return table


def long_short_figures(daily: pd.Series) -> tuple[float, float]:
    """Annual return (percent, arithmetic as the engine's) and Sharpe of a daily series."""
    from tessary.backtest._core import safe_sharpe

    clean = daily.dropna()
    if not len(clean):
        return math.nan, math.nan
    return float(clean.sum() / (len(clean) / 252) * 100), float(safe_sharpe(clean, periods=252))
