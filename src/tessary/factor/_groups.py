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


def _member_counts(labels: np.ndarray, groups: int) -> np.ndarray:
    """rows x groups: how many stocks of each row carry each label 1..groups."""
    rows = len(labels)
    known = np.where((labels >= 1) & (labels <= groups), labels, 0)
    keys = known + (np.arange(rows, dtype=np.int64) * (groups + 1))[:, None]
    counts = np.bincount(keys.ravel(), minlength=rows * (groups + 1))
    return counts.reshape(rows, groups + 1)[:, 1:]


#: Rows of labels compared at once by the turnover (bounds the temporary matrices).
_CHUNK = 256


def holding_and_turnover(labels: np.ndarray, weight: np.ndarray, held: np.ndarray,
                         groups: int) -> tuple[np.ndarray, np.ndarray]:
    """Per group, the statistics' mean holding count and turnover (percent), from the
    carried label rows ``held`` on the return dates (each date's own weights, the first
    date's change 0). A stock in the group on both rows of a change moves by |wa - wb|,
    one in it on one row only by that row's weight; so a change is counted from the
    members each row has and the members both share, for all groups in one pass."""
    counts = _member_counts(labels, groups)
    holding = counts[held].mean(axis=0) if len(held) else np.full(groups, np.nan)
    a, b = held[1:], held[:-1]
    changed = np.flatnonzero(a != b)
    change = np.zeros((len(held), groups))
    for start in range(0, len(changed), _CHUNK):
        part = changed[start:start + _CHUNK]
        ra, rb = a[part], b[part]
        now = labels[ra]
        both = _member_counts(np.where(now == labels[rb], now, 0), groups)
        wa, wb = weight[ra], weight[rb]
        change[part + 1] = np.abs(wa - wb) * both + wa * (counts[ra] - both) + wb * (counts[rb] - both)
    turnover = change.mean(axis=0) / 2 * 100 if len(held) else np.full(groups, np.nan)
    return holding, turnover


def group_stats(returns: pd.DataFrame, labels: np.ndarray, weight: np.ndarray, held: np.ndarray,
                benchmark: pd.Series | None) -> pd.DataFrame:
    """One row of the 13 statistics per group, as run_backtest computes them."""
    from tessary.backtest._pnl_engine import calc_strategy_stats

    rows = {}
    index = returns.index
    bench = benchmark.reindex(index, fill_value=0) if benchmark is not None else pd.Series(0.0, index=index)
    holding, turnover = holding_and_turnover(labels, weight, held, len(returns.columns))
    for g in returns.columns:
        frame = pd.DataFrame({"daily_return": returns[g], "index_daily_return": bench})
        stats = dict(calc_strategy_stats(frame, None))
        stats["holding_count"], stats["turnover"] = float(holding[int(g) - 1]), float(turnover[int(g) - 1])
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
