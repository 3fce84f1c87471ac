"""The work of a sweep: a strategy's weights from the market, and one backtest of
them per pipeline variant, each giving one table row. These functions run wherever
the sweep runs (a thread here or a process of a cluster) and send nothing but the
row back."""

from __future__ import annotations

import math
import os
import threading
import time
from concurrent.futures import Future, wait
from dataclasses import dataclass
from functools import partial
from typing import Any, Callable

import numpy as np
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
    #: Seconds a strategy call or a backtest may run before its rows fail (None: no limit).
    timeout: float | None = None
    between: str = "resize"


@dataclass
class Row:
    """The outcome of one combination: its statistics (NaN on failure), per benchmark
    its excess annual return and excess Sharpe, the error text (None on success), the
    daily returns when kept (a Series, or an array on ``return_dates``), the seconds
    its backtest took and the texts of the warnings its inputs gave (those of
    ``run_backtest``)."""

    number: int
    stats: dict[str, float]
    excess: dict[str, tuple[float, float]]
    error: str | None = None
    daily_return: pd.Series | np.ndarray | None = None
    seconds: float = 0.0
    warnings: tuple[str, ...] = ()
    return_dates: pd.Index | None = None


def error_text(exc: BaseException) -> str:
    text = str(exc).strip()
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def failed(number: int, error: str) -> Row:
    return Row(number, {k: math.nan for k in STAT_KEYS}, {}, error)


def check_weights(weights: object, spec: Spec, market: _market.Market) -> pd.DataFrame:
    """The strategy's result as the engine's weights, taken as ``run_backtest`` takes
    weights: the same date and code forms, carried from rebalance dates onto the
    store's trading days of the sweep's range, the same errors."""
    from tessary.backtest import _weights

    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"the strategy returned {type(weights).__name__}, not a DataFrame of weights")
    prepared = _weights.engine_weights(
        weights, market.dates, market.codes, spec.start, spec.end, where=f"the store {spec.store_dir}"
    )
    # The strategy's own dates travel with the carried weights: the hold rule sets its
    # targets on them, as run_backtest does.
    prepared.matrix.attrs[GIVEN_ATTR] = prepared.given_index
    return prepared.matrix


#: The key of ``DataFrame.attrs`` under which computed weights carry their warnings.
WARNINGS_ATTR = "tessary_warnings"
#: The key of ``DataFrame.attrs`` under which carried weights keep the dates the
#: strategy gave.
GIVEN_ATTR = "tessary_given_dates"


def _input_warnings(spec: Spec, weights: pd.DataFrame, market: _market.Market) -> tuple[str, ...]:
    from tessary.backtest import _weights

    aligned = market.aligned(weights.index, weights.columns)
    return tuple(_weights.input_warnings(weights, aligned, dict(market.benchmarks), spec.benchmark))


def within(timeout: float | None, what: str, function: Callable[[], Any]) -> Any:
    """``function()``, or TimeoutError when it runs longer than ``timeout`` seconds.

    With a limit the call runs on a daemon thread of its own; one that overruns is
    left running (a thread cannot be stopped from outside) and its result is dropped.
    """
    if timeout is None:
        return function()
    outcome: Future = Future()

    def run() -> None:
        outcome.set_running_or_notify_cancel()
        try:
            outcome.set_result(function())
        except BaseException as exc:
            outcome.set_exception(exc)

    threading.Thread(target=run, name="tessary-sweep-timed", daemon=True).start()
    done, _ = wait([outcome], timeout)
    if not done:
        raise TimeoutError(f"{what} ran longer than the timeout of {timeout:g} s")
    return outcome.result()


def compute_weights(spec: Spec, strategy_params: dict[str, Any]) -> pd.DataFrame:
    """The strategy's weights for one set of its parameters, checked. The warnings of
    the weights against the market, the same for every variant of the group, are
    found once and carried in the frame's ``attrs``."""
    market = _market.open_market(spec.store_dir, spec.start, spec.end)
    call = partial(spec.strategy, market.for_strategy(), **strategy_params)
    weights = check_weights(within(spec.timeout, "the strategy", call), spec, market)
    weights.attrs[WARNINGS_ATTR] = _input_warnings(spec, weights, market)
    return weights


def backtest(
    spec: Spec, weights: pd.DataFrame, number: int, pipeline: dict[str, Any], given_dates: pd.Index | None = None
) -> Row:
    """One backtest of ``weights`` under the pipeline parameters ``pipeline``, as a row;
    any failure of the run is that row's error. ``given_dates``: the dates whose
    weights the strategy gave (default: those its carried weights keep, else every
    date of ``weights``), where the hold rule sets its targets."""
    from tessary.backtest import _between, _weights
    from tessary.backtest._pnl_engine import run_strategy_backtest_core

    started = time.perf_counter()
    try:
        pipeline = dict(pipeline)
        rule = pipeline.pop("between", spec.between)
        if given_dates is None:
            given_dates = weights.attrs.get(GIVEN_ATTR, weights.index)
        flags = _between.given_flags(rule, weights.index, given_dates)
        if flags is not None:
            pipeline["given"] = flags
        market = _market.open_market(spec.store_dir, spec.start, spec.end)
        aligned = market.aligned(weights.index, weights.columns)
        benchmarks = dict(market.benchmarks)
        notes = _weights.fee_warnings(pipeline.get("fee", 0.0001), pipeline.get("rule_fee", 0.0005))
        carried = weights.attrs.get(WARNINGS_ATTR)
        notes += list(_input_warnings(spec, weights, market) if carried is None else carried)
        inputs = dict(pipeline)
        if "rolling_window" in inputs:  # as run_backtest: a longer window averages the same rows
            inputs["rolling_window"] = int(min(inputs["rolling_window"], len(weights.index)))
        call = partial(
            run_strategy_backtest_core,
            weights,
            **aligned,
            benchmark_dict=benchmarks,
            benchmark_names=spec.benchmark,
            plot_image_kind=None,
            **inputs,
        )
        result = within(spec.timeout, "the backtest", call)
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
    return Row(number, stats, excess, None, returns, time.perf_counter() - started, tuple(notes))


def process_id() -> int:
    """The id of the process a task runs in (for tests and benchmarks)."""
    return os.getpid()

