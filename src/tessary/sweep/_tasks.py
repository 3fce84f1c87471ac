"""The work of a sweep: a strategy's weights from the market, and one backtest of
them per pipeline variant, each giving one table row. These functions run wherever
the sweep runs (a thread here or a process of a cluster) and send nothing but the
row back."""

from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass
from typing import Any, Callable

import pandas as pd

from tessary.sweep import _market

#: The statistics of one backtest, in the engine's order.
STAT_KEYS = (
    "annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp", "extra_max_dd",
    "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate", "excess_win_rate",
    "holding_count", "turnover",
)


@dataclass(frozen=True)
class Spec:
    """What every task of one sweep shares: small, so that it costs nothing to send."""

    store_dir: str
    start: str | None
    end: str | None
    benchmark: str
    strategy: Callable
    keep_returns: bool
    between: str = "resize"


@dataclass
class Row:
    """The outcome of one combination: its statistics (NaN on failure), per benchmark
    its excess annual return and excess Sharpe, the error text (None on success), the
    daily returns when kept, and the seconds its backtest took."""

    number: int
    stats: dict[str, float]
    excess: dict[str, tuple[float, float]]
    error: str | None = None
    daily_return: pd.Series | None = None
    seconds: float = 0.0


def error_text(exc: BaseException) -> str:
    text = str(exc).strip()
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def failed(number: int, error: str) -> Row:
    return Row(number, {k: math.nan for k in STAT_KEYS}, {}, error)


def check_weights(weights: object, market: _market.Market) -> pd.DataFrame:
    """The strategy's result, when it is a weight matrix on the store's dates and codes."""
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"the strategy returned {type(weights).__name__}, not a DataFrame of weights")
    if weights.index.has_duplicates or weights.columns.has_duplicates:
        raise ValueError("the strategy's weights name a date or a stock twice")
    if len(weights.index) < 2:
        raise ValueError(f"the strategy's weights hold {len(weights.index)} date(s); a backtest needs at least two")
    outside = weights.index.difference(market.dates)
    if len(outside):
        raise ValueError(
            f"{len(outside)} date(s) of the weights are not trading dates of the store in the sweep's range "
            f"({market.dates[0]}..{market.dates[-1]}): {', '.join(map(str, outside[:3]))}"
        )
    unknown = weights.columns.difference(market.codes)
    if len(unknown):
        raise ValueError(f"{len(unknown)} stock(s) of the weights are not in the store: {', '.join(map(str, unknown[:5]))}")
    if not weights.index.is_monotonic_increasing:
        weights = weights.sort_index()
    return weights


def compute_weights(spec: Spec, strategy_params: dict[str, Any]) -> pd.DataFrame:
    """The strategy's weights for one set of its parameters, checked."""
    market = _market.open_market(spec.store_dir, spec.start, spec.end)
    return check_weights(spec.strategy(market.for_strategy(), **strategy_params), market)


def backtest(
    spec: Spec, weights: pd.DataFrame, number: int, pipeline: dict[str, Any], given_dates: pd.Index | None = None
) -> Row:
    """One backtest of ``weights`` under the pipeline parameters ``pipeline``, as a row;
    any failure of the run is that row's error. ``given_dates``: the dates whose
    weights the strategy gave (default: every date of ``weights``), where the hold
    rule sets its targets."""
    from tessary.backtest import _between
    from tessary.backtest._pnl_engine import run_strategy_backtest_core

    started = time.perf_counter()
    try:
        pipeline = dict(pipeline)
        rule = pipeline.pop("between", spec.between)
        flags = _between.given_flags(rule, weights.index, weights.index if given_dates is None else given_dates)
        if flags is not None:
            pipeline["given"] = flags
        market = _market.open_market(spec.store_dir, spec.start, spec.end)
        result = run_strategy_backtest_core(
            weights,
            **market.aligned(weights.index, weights.columns),
            benchmark_dict=dict(market.benchmarks),
            benchmark_names=spec.benchmark,
            plot_image_kind=None,
            **pipeline,
        )
    except Exception as exc:  # the row carries it; the sweep goes on
        return failed(number, error_text(exc))
    summary = result.benchmark_summary
    excess = {
        str(name): (float(annual), float(sharpe))
        for name, annual, sharpe in zip(
            summary.get("benchmark_name", []), summary.get("excess_annual_return", []), summary.get("excess_sharpe", [])
        )
    }
    stats = {key: float(result.stats.get(key, math.nan)) for key in STAT_KEYS}
    returns = result.daily_return if spec.keep_returns else None
    return Row(number, stats, excess, None, returns, time.perf_counter() - started)


def run_group(spec: Spec, strategy_params: dict[str, Any], variants: list[tuple[int, dict[str, Any]]]) -> list[Row]:
    """The weights of one set of strategy parameters, computed once, backtested under
    each (number, pipeline parameters) variant: the unit of work sent to a cluster."""
    try:
        weights = compute_weights(spec, strategy_params)
    except Exception as exc:
        return [failed(number, error_text(exc)) for number, _ in variants]
    return [backtest(spec, weights, number, pipeline) for number, pipeline in variants]


def process_id() -> int:
    """The id of the process a task runs in (for tests and benchmarks)."""
    return os.getpid()

