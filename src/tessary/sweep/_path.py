"""The backtests of variants that trade the same weights (one smoothing window),
sharing what does not depend on the variant: the market's frames, the checks of the
weights, the smoothing, and the holding count and turnover of the statistics, which
depend on the traded weights and the return dates alone.

Each variant then runs the pipeline's own steps in its order, by the same functions
looked up in the engine's module at call time: the daily returns, the statistics
frame with the primary benchmark, the excess over each benchmark and the
statistics. A row is therefore that of ``_tasks.backtest`` to the bit. Whatever
goes wrong on the shared route is left to ``_tasks.backtest`` for the variant it
touches, which gives today's row, error text included."""

from __future__ import annotations

import math
import time
from functools import partial
from typing import Any

import pandas as pd

from tessary.sweep import _market, _tasks

#: The statistics that depend only on the traded weights and the return dates.
WEIGHT_STATS = ("holding_count", "turnover")
YEAR_DAYS = 252


def _window(pipeline: dict[str, Any], rows: int) -> int:
    """The smoothing window a variant trades with, as the backtest clamps it."""
    return int(min(pipeline.get("rolling_window", 0), rows))


def shared_paths(variants: list[tuple[int, dict[str, Any]]], rows: int) -> list[list[tuple[int, dict[str, Any]]]]:
    """The variants of one weight matrix grouped by the weights they trade (their
    smoothing window, the longest ones clamped to the matrix's ``rows``; 0 and 1
    both leave the weights as they are): groups in order of their first variant,
    each in the given order."""
    paths: dict[int, list[tuple[int, dict[str, Any]]]] = {}
    for number, pipeline in variants:
        window = _window(pipeline, rows)
        paths.setdefault(window if window > 1 else 0, []).append((number, pipeline))
    return list(paths.values())


def backtest_path(spec: _tasks.Spec, weights: pd.DataFrame, variants: list[tuple[int, dict[str, Any]]]) -> list[_tasks.Row]:
    """The rows of one group of ``shared_paths``, in its order: a lone variant is a
    backtest of its own, several share the route of ``backtest_shared``."""
    if len(variants) < 2:
        return [_tasks.backtest(spec, weights, number, pipeline) for number, pipeline in variants]
    return backtest_shared(spec, weights, variants, _window(variants[0][1], len(weights.index)))


def run_group(spec: _tasks.Spec, strategy_params: dict[str, Any],
              variants: list[tuple[int, dict[str, Any]]]) -> list[_tasks.Row]:
    """The weights of one set of strategy parameters, computed once, backtested under
    each (number, pipeline parameters) variant, variants that trade the same weights
    together: the unit of work sent to a cluster. Rows come in the order of
    ``variants``."""
    try:
        weights = _tasks.compute_weights(spec, strategy_params)
    except Exception as exc:
        return [_tasks.failed(number, _tasks.error_text(exc)) for number, _ in variants]
    rows = [row for path in shared_paths(variants, len(weights.index)) for row in backtest_path(spec, weights, path)]
    order = {number: i for i, (number, _) in enumerate(variants)}
    return sorted(rows, key=lambda row: order[row.number])


class _Shared:
    """What the variants of one path share, made once."""

    def __init__(self, spec: _tasks.Spec, weights: pd.DataFrame, window: int) -> None:
        from tessary.backtest import _checks, _records

        market = _market.open_market(spec.store_dir, spec.start, spec.end)
        self.aligned = market.aligned(weights.index, weights.columns)
        self.benchmarks = dict(market.benchmarks)
        # Each benchmark on the return dates, as the pipeline aligns it for the excess
        # and for the statistics frame: the same for every variant.
        self.dates = weights.index[1:]
        self.aligned_benchmarks = {
            name: (bm_daily.reindex(self.dates, fill_value=0.0),
                   bm_daily.reindex(self.dates, fill_value=0) if name == spec.benchmark else None)
            for name, bm_daily in self.benchmarks.items()
        }
        # The checks of the weights themselves, with costs that pass: each variant's
        # costs and window are checked on their own.
        _checks.check_engine_inputs(weights, self.aligned["can_buy_stock"], self.aligned["buy_price"],
                                    rolling_window=0, total_money=1e8, fee=0.0001, rule_fee=0.0005)
        call = partial(_records.smooth_weights, weights, window)
        self.work = _tasks.within(spec.timeout, "the backtest", call) if window > 0 else weights
        self.carried = weights.attrs.get(_tasks.WARNINGS_ATTR)
        self.given_dates = weights.attrs.get(_tasks.GIVEN_ATTR, weights.index)
        self.window = window
        #: (the return dates the statistics used, holding count, turnover) of the first variant.
        self.weight_stats: tuple[pd.Index, dict[str, float]] | None = None
        #: The daily returns of variants priced together by ``price_fee_variants``, by number.
        self.returns: dict[int, pd.Series] = {}

    def price_fee_variants(self, spec: _tasks.Spec, variants: list[tuple[int, dict[str, Any]]]) -> None:
        """The daily returns of the variants that re-size every day and differ only
        in their fees, one pass over the market per capital. Left to each variant's
        own engine call when anything goes wrong here."""
        from tessary.backtest import _records

        if len(self.work.index) < 2:
            return
        by_capital: dict[float, list[tuple[int, float, float]]] = {}
        for number, pipeline in variants:
            if pipeline.get("between", spec.between) != "resize":
                continue
            try:
                money, fee, rule_fee = (float(pipeline.get(name, default)) for name, default in
                                        (("total_money", 1e8), ("fee", 0.0001), ("rule_fee", 0.0005)))
            except (TypeError, ValueError):
                continue
            by_capital.setdefault(money, []).append((number, fee, rule_fee))
        for money, members in by_capital.items():
            if len(members) < 2:
                continue
            call = partial(_records.fee_path_returns, self.work, **self.aligned, fees=[m[1] for m in members],
                           rule_fees=[m[2] for m in members], total_money=money)
            try:
                values, dates = _tasks.within(spec.timeout, "the backtest", call)
            except Exception:
                continue
            for (number, _, _), row in zip(members, values):
                self.returns[number] = pd.Series(row, index=dates)


def _stats(shared: _Shared, total_frame: pd.DataFrame) -> dict:
    from tessary.backtest import _pnl_engine

    used = total_frame.index[total_frame["daily_return"].notna() & total_frame["index_daily_return"].notna()]
    known = shared.weight_stats
    if known is not None and known[0].equals(used):
        stats = dict(_pnl_engine.calc_strategy_stats(total_frame, None))
        stats.update(known[1])
        return stats
    stats = _pnl_engine.calc_strategy_stats(total_frame, shared.work)
    if known is None:
        shared.weight_stats = (used, {key: stats[key] for key in WEIGHT_STATS if key in stats})
    return stats


def _run(spec: _tasks.Spec, shared: _Shared, number: int, pipeline: dict[str, Any]) -> tuple[dict, dict, pd.Series]:
    """The statistics, the excess per benchmark and the daily returns of one variant."""
    from tessary.backtest import _between, _checks, _pnl_engine

    pipeline = dict(pipeline)
    rule = pipeline.pop("between", spec.between)
    costs = {name: pipeline.get(name, default)
             for name, default in (("total_money", 1e8), ("fee", 0.0001), ("rule_fee", 0.0005))}
    _checks.check_engine_inputs(None, None, None, rolling_window=shared.window, **costs)
    flags = _between.given_flags(rule, shared.work.index, shared.given_dates)
    extra = {} if flags is None else {"given": flags}
    daily = shared.returns.get(number) if flags is None else None
    if daily is None:
        daily = _pnl_engine.calc_strategy_vwap_daily_return(signal_matrix=shared.work, **shared.aligned, **costs,
                                                            **extra)
    total_frame = pd.DataFrame({"daily_return": daily, "index_daily_return": daily * 0})
    excess = {}
    dates = daily.index
    known = dates.equals(shared.dates)
    for name, bm_daily in list(shared.benchmarks.items()):
        if known:
            bm_aligned, primary = shared.aligned_benchmarks[name]
        else:
            bm_aligned, primary = bm_daily.reindex(dates, fill_value=0.0), bm_daily.reindex(dates, fill_value=0)
        excess_daily = daily.sub(bm_aligned, fill_value=0)
        sharpe = _pnl_engine.safe_sharpe(excess_daily, periods=YEAR_DAYS)
        excess[str(name)] = (float(excess_daily.mean() * YEAR_DAYS), float(sharpe))
        if name == spec.benchmark:
            total_frame["index_daily_return"] = primary
    return _stats(shared, total_frame), excess, daily


def backtest_shared(spec: _tasks.Spec, weights: pd.DataFrame, variants: list[tuple[int, dict[str, Any]]],
                    window: int) -> list[_tasks.Row]:
    """The rows of ``variants``, all trading ``weights`` smoothed over ``window``."""
    from tessary.backtest import _weights

    try:
        shared = _Shared(spec, weights, window)
    except Exception:
        return [_tasks.backtest(spec, weights, number, pipeline) for number, pipeline in variants]
    shared.price_fee_variants(spec, variants)
    rows = []
    for number, pipeline in variants:
        started = time.perf_counter()
        try:
            stats, excess, daily = _tasks.within(spec.timeout, "the backtest", partial(_run, spec, shared, number, pipeline))
        except TimeoutError as exc:  # the variant's own run would wait as long again
            rows.append(_tasks.failed(number, _tasks.error_text(exc)))
            continue
        except Exception:
            rows.append(_tasks.backtest(spec, weights, number, pipeline))
            continue
        notes = _weights.fee_warnings(pipeline.get("fee", 0.0001), pipeline.get("rule_fee", 0.0005))
        notes += list(shared.carried if shared.carried is not None else
                      _tasks._input_warnings(spec, weights, _market.open_market(spec.store_dir, spec.start, spec.end)))
        row_stats = {key: float(stats.get(key, math.nan)) for key in _tasks.STAT_KEYS}
        returns = daily if spec.keep_returns else None
        rows.append(_tasks.Row(number, row_stats, excess, None, returns, time.perf_counter() - started, tuple(notes)))
    return rows

