"""``evaluate``: one factor against a store, and ``compare``: many factors on threads."""

from __future__ import annotations

import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pandas as pd

from tessary.factor import _compute, _factor_kernels, _groups, _inputs
from tessary.factor._report import FactorReport

NEUTRALIZE = ("industry",)


class _Progress:
    """Steps of a long evaluation on stderr, with their time, when asked."""

    def __init__(self, enabled: bool, label: str) -> None:
        self.enabled, self.label, self.started = enabled, label, time.perf_counter()

    def __call__(self, text: str) -> None:
        if self.enabled:
            print(f"{self.label}: {text} ({time.perf_counter() - self.started:.1f} s)", file=sys.stderr, flush=True)


def _int(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {value}")
    return int(value)


def _periods(periods: Any) -> tuple[int, ...]:
    if isinstance(periods, (int, np.integer)) and not isinstance(periods, bool):
        periods = (periods,)
    try:
        items = tuple(periods)
    except TypeError:
        raise ValueError(f"periods must be positive integers, not {periods!r}") from None
    bad = [p for p in items if isinstance(p, bool) or not isinstance(p, (int, np.integer)) or p < 1]
    if bad or not items:
        raise ValueError(f"periods must be positive integers, not {periods!r}")
    if len(set(items)) != len(items):
        raise ValueError(f"periods name a period twice: {periods!r}")
    return tuple(int(p) for p in items)


def _check_values(values: np.ndarray) -> None:
    if np.isnan(values).all():
        raise ValueError("the factor has no value on the store's dates and stocks (all NaN)")
    present = ~np.isnan(values)
    high = np.where(present, values, -np.inf).max(axis=1)
    low = np.where(present, values, np.inf).min(axis=1)
    if not (high > low).any():
        raise ValueError("the factor is constant on every date: it cannot rank stocks")


def _check_options(groups, rebalance, universe, tradable, neutralize, benchmark) -> None:
    _int("groups", groups, 2)
    _int("rebalance", rebalance, 1)
    if universe is not None and not isinstance(universe, (str, pd.DataFrame)):
        raise TypeError(f"universe must be an index name, a boolean DataFrame or None, not {type(universe).__name__}")
    if not isinstance(tradable, (bool, np.bool_)):
        raise TypeError(f"tradable must be a bool, not {type(tradable).__name__}")
    if neutralize is not None and neutralize not in NEUTRALIZE:
        raise ValueError(f"neutralize must be None or 'industry', not {neutralize!r}")
    if benchmark is not None and not isinstance(benchmark, str):
        raise TypeError(f"benchmark must be a str or None, not {type(benchmark).__name__}")


def evaluate(
    factor: pd.DataFrame,
    store: Any,
    *,
    start_date: Any = None,
    end_date: Any = None,
    periods: Any = (1, 5, 10),
    groups: int = 5,
    universe: Any = None,
    tradable: bool = True,
    neutralize: str | None = None,
    rebalance: int = 1,
    benchmark: str | None = "000852",
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    total_money: float = 1e8,
    progress: bool = False,
    backtest: bool = True,
) -> FactorReport:
    """Does this factor predict returns? Rank ICs, their decay, quantile groups and the
    groups' backtests under the engine's trading rules.

    ``factor``: a date x stock DataFrame (dates and codes in every form ``run_backtest``
    accepts) or a long frame with columns date, code, value; NaN = no value. The
    cross-section of a date T: the stocks with a value, members of ``universe`` on T
    (an index name such as "000300" whose constituent mask the store holds, or a
    boolean date x stock DataFrame), buyable on T+1 when ``tradable``, and with an
    industry on T when ``neutralize="industry"`` (the factor then minus its industry's
    mean in the cross-section). Forward returns run from the open of T+1, adjusted for
    splits and dividends. Groups: ``groups`` ordinal slices of the cross-section, 1 the
    lowest. Each group is backtested as an equal-weight portfolio set on every
    ``rebalance``-th date, with ``fee``, ``rule_fee`` and ``total_money`` as in
    ``run_backtest`` (all groups in one pass; ``backtest=False`` leaves them out).
    """
    from tessary.backtest import api
    from tessary.backtest._checks import check_number
    from tessary.store.dates import date_argument
    from tessary.store.opening import open_store

    _check_options(groups, rebalance, universe, tradable, neutralize, benchmark)
    periods = _periods(periods)
    fee = check_number("fee", fee, 0.0, 1.0, low_open=False)
    rule_fee = check_number("rule_fee", rule_fee, 0.0, 1.0, low_open=False)
    total_money = check_number("total_money", total_money, 0.0, None, low_open=True)
    start = date_argument(start_date, "start_date")
    end = date_argument(end_date, "end_date")
    if start and end and start > end:
        raise ValueError(f"start_date {start} is after end_date {end}")
    step = _Progress(bool(progress), "factor")

    frame = _inputs.factor_frame(factor)
    if start:
        frame = frame.loc[frame.index >= start]
    if end:
        frame = frame.loc[frame.index <= end]
    if not len(frame.index):
        raise ValueError(f"no date of the factor lies between {start or 'its start'} and {end or 'its end'}")
    store = open_store(store)
    store_days, store_codes = api._store_axes(store)
    _inputs.check_in_store(frame, store_days, store_codes, store)
    codes = store_codes[store_codes.isin(frame.columns)]  # ties are broken in the store's stock order
    values = np.ascontiguousarray(frame.reindex(columns=codes).to_numpy(dtype=np.float64))
    _check_values(values)
    dates = frame.index
    bench_series = None
    if benchmark is not None and backtest:
        bench_series = api._benchmarks(store, benchmark, store_days[(store_days >= dates[0])])[benchmark]
    step(f"{len(dates)} dates x {len(codes)} stocks: loading the market")
    horizon = max(max(periods), _inputs.DECAY_LAGS)
    market = _inputs.load_market(store, store_days, dates, codes, horizon=horizon, universe=universe,
                                 industry=neutralize == "industry")
    step("ranks, ICs and groups")
    figures = _compute.compute(values, market, periods=periods, groups=groups, tradable=bool(tradable),
                               neutralize=neutralize == "industry")
    returns = stats = None
    if backtest:
        step(f"backtesting {groups} groups in one pass")
        returns, stats = _group_backtests(store, store_days, dates, codes, figures.labels, groups, rebalance, end,
                                          bench_series, total_money=total_money, fee=fee, rule_fee=rule_fee)
    step("done")
    settings = {
        "periods": list(periods), "groups": groups, "universe": universe if isinstance(universe, str) else (
            None if universe is None else "custom"),
        "tradable": bool(tradable), "neutralize": neutralize, "rebalance": rebalance, "benchmark": benchmark,
        "fee": fee, "rule_fee": rule_fee, "total_money": total_money,
    }
    return FactorReport(dates, codes, figures, returns, stats, settings)


def _group_backtests(store, store_days, dates, codes, labels, groups, rebalance, end, benchmark, **rates):
    days = _groups.backtest_days(store_days, dates, end)
    columns = pd.Index(range(1, groups + 1), name="group")
    if len(days) < 2:
        return pd.DataFrame(columns=columns, dtype=float), None
    chosen = np.arange(0, len(dates), rebalance)
    rebalance_labels = np.ascontiguousarray(labels[chosen])
    weight = _groups.group_weights(rebalance_labels, groups)
    held = _groups.carried_rows(days, dates[chosen])
    cash = _groups.group_daily_cash(store, days, codes, rebalance_labels, weight, held, **rates)
    returns = pd.DataFrame(cash.T / rates["total_money"], index=days[1:], columns=columns)
    stats = _groups.group_stats(returns, rebalance_labels, weight, held[1:], benchmark)
    return returns, stats


def compare(factors: dict, store: Any, *, threads: int | None = None, **keywords: Any) -> pd.DataFrame:
    """One row per factor of ``factors`` (name -> factor), evaluated on ``threads``
    threads (default: the cores) with the keywords of ``evaluate``: IC mean, IR and
    t statistic per period, the long-short annual return (percent) and Sharpe ratio,
    and the top group's mean turnover; sorted by the first period's IR, best first."""
    from tessary.store.opening import open_store

    if not isinstance(factors, dict) or not factors:
        raise ValueError("factors must be a non-empty dict of name -> factor")
    if "progress" in keywords:
        keywords = {k: v for k, v in keywords.items() if k != "progress"}
    workers = _int("threads", threads, 1) if threads is not None else (os.cpu_count() or 1)
    store = open_store(store)

    def one(item):
        name, factor = item
        # One factor a thread: the kernels of this thread keep to it, rather than each
        # sharing its rows among all the cores that the other factors already use.
        _factor_kernels.set_row_threads(1)
        try:
            return name, evaluate(factor, store, **keywords)
        except ValueError as exc:
            raise ValueError(f"factor {name!r}: {exc}") from None

    with ThreadPoolExecutor(max_workers=min(workers, len(factors))) as pool:
        reports = list(pool.map(one, factors.items()))
    rows = {name: report.screen_row() for name, report in reports}
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "factor"
    first = next(c for c in table.columns if c.startswith("ir_"))
    return table.sort_values(first, ascending=False, na_position="last", kind="stable")

