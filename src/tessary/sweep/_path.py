"""The backtests of variants that trade the same weights (one smoothing window),
sharing what does not depend on the variant: the market's frames, the checks of the
weights, the smoothing, the daily returns of the variants that differ only in their
costs (priced together by ``batch_returns``), the benchmarks on the return dates,
and the holding count and turnover of the statistics, which depend on the traded
weights and the return dates alone.

The rows' figures come from plain arrays (``_figures``), equal to those of the
pipeline's own functions. Whatever goes wrong on the shared route is left to
``_tasks.backtest`` for the variant it touches, which gives today's row, error text
included."""

from __future__ import annotations

import math
import threading
import time
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from tessary.sweep import _batch_returns, _buffers, _figures, _market, _tasks

#: The statistics that depend only on the traded weights and the return dates.
WEIGHT_STATS = ("holding_count", "turnover")
COST_DEFAULTS = (("total_money", 1e8), ("fee", 0.0001), ("rule_fee", 0.0005))


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


# --- benchmarks on the return dates, aligned once per market and dates ----------------

_aligned_cache: dict[int, tuple[_market.Market, list[tuple[pd.Index, dict[str, np.ndarray]]]]] = {}
_aligned_lock = threading.Lock()


def aligned_benchmarks(market: _market.Market, dates: pd.Index) -> dict[str, np.ndarray]:
    """Each benchmark of ``market`` on ``dates`` with missing dates 0, as the pipeline
    aligns it for the excess and the statistics frame: made once per process for
    each market and range of dates, shared by every path on them."""
    with _aligned_lock:
        _, known = _aligned_cache.get(id(market), (market, []))
        for index, values in known:
            if index is dates or (len(index) == len(dates) and index.equals(dates)):
                return values
    values = {str(name): series.reindex(dates, fill_value=0.0).to_numpy(dtype=np.float64)
              for name, series in market.benchmarks.items()}
    with _aligned_lock:
        entry = _aligned_cache.setdefault(id(market), (market, []))
        entry[1].append((dates, values))
        del entry[1][:-8]
        while len(_aligned_cache) > 4:
            _aligned_cache.pop(next(iter(_aligned_cache)))
    return values


def checked_market(spec: _tasks.Spec, weights: pd.DataFrame) -> dict[str, pd.DataFrame]:
    """The market's frames on the weights' dates and stocks, after the checks of the
    weights themselves with costs that pass (each variant's costs and window are
    checked on their own): the same for every path of the weights."""
    from tessary.backtest import _checks

    aligned = _market.open_market(spec.store_dir, spec.start, spec.end).aligned(weights.index, weights.columns)
    _checks.check_engine_inputs(weights, aligned["can_buy_stock"], aligned["buy_price"],
                                rolling_window=0, total_money=1e8, fee=0.0001, rule_fee=0.0005)
    return aligned


class Shared:
    """What the variants of one path share, made once."""

    def __init__(self, spec: _tasks.Spec, weights: pd.DataFrame, window: int,
                 aligned: dict[str, pd.DataFrame] | None = None) -> None:
        """``aligned``: what ``checked_market`` gave for ``weights`` (found here when
        None)."""
        from tessary.backtest import _records

        self.market = _market.open_market(spec.store_dir, spec.start, spec.end)
        self.aligned = checked_market(spec, weights) if aligned is None else aligned
        self.dates = weights.index[1:]
        call = partial(_records.smooth_weights, weights, window, out=_buffers.output_for(weights) if window > 0 else None)
        self.work = _tasks.within(spec.timeout, "the backtest", call) if window > 0 else weights
        self.carried = weights.attrs.get(_tasks.WARNINGS_ATTR)
        self.given_dates = weights.attrs.get(_tasks.GIVEN_ATTR, weights.index)
        self.window = window
        #: Holding count and turnover by the return dates the statistics used.
        self.weight_stats: dict[bytes, tuple[float, float]] = {}

    def pricing(self, spec: _tasks.Spec, variants: list[tuple[int, dict[str, Any]]]) -> list[tuple[int, tuple]]:
        """The (number, costs) of the variants to price together: those that re-size
        every day and share their capital with another variant of the path (one
        holding path, several cash accounts). The others call the engine themselves."""
        if len(self.work.index) < 2:
            return []
        by_capital: dict[float, list[tuple[int, tuple]]] = {}
        for number, pipeline in variants:
            if pipeline.get("between", spec.between) != "resize":
                continue
            try:
                costs = tuple(float(pipeline.get(name, default)) for name, default in COST_DEFAULTS)
            except (TypeError, ValueError):
                continue
            by_capital.setdefault(costs[0], []).append((number, costs))
        return [member for members in by_capital.values() if len(members) > 1 for member in members]

    def daily(self, spec: _tasks.Spec, number: int, pipeline: dict[str, Any], priced: dict[int, np.ndarray]) -> np.ndarray:
        """The daily returns of one variant on ``self.dates``: priced with the path, or
        from the engine's own call (the hold rule, a lone capital, a failed batch)."""
        from tessary.backtest import _between, _checks, _pnl_engine

        pipeline = dict(pipeline)
        rule = pipeline.pop("between", spec.between)
        costs = {name: pipeline.get(name, default) for name, default in COST_DEFAULTS}
        _checks.check_engine_inputs(None, None, None, rolling_window=self.window, **costs)
        flags = _between.given_flags(rule, self.work.index, self.given_dates)
        if flags is None and number in priced:
            return priced[number]
        extra = {} if flags is None else {"given": flags}
        daily = _pnl_engine.calc_strategy_vwap_daily_return(signal_matrix=self.work, **self.aligned, **costs, **extra)
        if not daily.index.equals(self.dates):
            raise ValueError("the daily returns are not on the return dates of the weights")
        return daily.to_numpy(dtype=np.float64)

    def _weight_figures(self, used: np.ndarray) -> tuple[float, float]:
        """Holding count and turnover of the traded weights over the dates ``used``,
        by the engine's statistics on the matrix's row positions (the same rows as
        its dates, without looking up text labels)."""
        from tessary.backtest import _pnl_engine

        key = used.tobytes()
        if key not in self.weight_stats:
            rows = np.flatnonzero(used) + 1  # the return dates are the weights' dates less the first
            zeros = np.zeros(len(rows))
            frame = pd.DataFrame({"daily_return": zeros, "index_daily_return": zeros}, index=rows)
            values = pd.DataFrame(self.work.to_numpy(copy=False), copy=False)
            stats = _pnl_engine.calc_strategy_stats(frame, values)
            self.weight_stats[key] = (float(stats["holding_count"]), float(stats["turnover"]))
        return self.weight_stats[key]

    def figures(self, spec: _tasks.Spec, returns: np.ndarray) -> tuple[list[dict[str, float]], list[dict]]:
        """The statistics and the excess per benchmark of each row of ``returns``."""
        benchmarks = aligned_benchmarks(self.market, self.dates)
        primary = benchmarks.get(spec.benchmark)
        if primary is None:  # the statistics frame keeps its zero benchmark
            primary = returns * 0
        table = _figures.return_stats(returns, primary)
        excess = {name: _figures.excess_figures(returns, values) for name, values in benchmarks.items()}
        used = ~(np.isnan(returns) | np.isnan(primary))
        stats, excesses = [], []
        for i in range(len(returns)):
            row = dict(zip(_figures.RETURN_KEYS, table[i].tolist()))
            row.update(zip(WEIGHT_STATS, self._weight_figures(used[i])))
            stats.append({key: float(row.get(key, math.nan)) for key in _tasks.STAT_KEYS})
            excesses.append({name: (float(annual[i]), float(sharpe[i])) for name, (annual, sharpe) in excess.items()})
        return stats, excesses

    def rows(self, spec: _tasks.Spec, weights: pd.DataFrame, variants: list[tuple[int, dict[str, Any]]],
             priced: dict[int, np.ndarray], priced_seconds: float = 0.0) -> list[_tasks.Row]:
        """The rows of ``variants`` in their order, from the returns ``priced``
        together (taking ``priced_seconds`` each) and the engine's own calls."""
        own: dict[int, _tasks.Row] = {}
        done: list[tuple[int, dict[str, Any], np.ndarray, float]] = []
        for number, pipeline in variants:
            started = time.perf_counter()
            try:
                daily = _tasks.within(spec.timeout, "the backtest", partial(self.daily, spec, number, pipeline, priced))
            except TimeoutError as exc:  # the variant's own run would wait as long again
                own[number] = _tasks.failed(number, _tasks.error_text(exc))
                continue
            except Exception:
                own[number] = _tasks.backtest(spec, weights, number, pipeline)
                continue
            spent = time.perf_counter() - started + (priced_seconds if number in priced else 0.0)
            done.append((number, pipeline, daily, spent))
        if done:
            own.update(self._rows_of(spec, weights, done))
        return [own[number] for number, _ in variants]


    def _rows_of(self, spec: _tasks.Spec, weights: pd.DataFrame,
                 done: list[tuple[int, dict[str, Any], np.ndarray, float]]) -> dict[int, _tasks.Row]:
        """The rows of the variants whose daily returns ``done`` holds (number,
        pipeline, returns, seconds so far), their figures computed together."""
        from tessary.backtest import _weights

        started = time.perf_counter()
        try:
            stats, excesses = self.figures(spec, np.stack([item[2] for item in done]))
            carried = self.carried if self.carried is not None else _tasks._input_warnings(spec, weights, self.market)
        except Exception:
            return {number: _tasks.backtest(spec, weights, number, pipeline) for number, pipeline, _, _ in done}
        share = (time.perf_counter() - started) / len(done)
        rows = {}
        for (number, pipeline, daily, spent), row_stats, excess in zip(done, stats, excesses):
            notes = _weights.fee_warnings(pipeline.get("fee", 0.0001), pipeline.get("rule_fee", 0.0005)) + list(carried)
            kept = spec.keep_returns
            rows[number] = _tasks.Row(number, row_stats, excess, None, daily if kept else None, spent + share,
                                      tuple(notes), self.dates if kept else None)
        return rows


def price(spec: _tasks.Spec, items: list[tuple[Shared, list[tuple[int, tuple]]]]) -> tuple[dict[int, np.ndarray], float]:
    """The daily returns of the variants ``items`` list per path, by number: one
    ``batch_returns`` call for all paths on the same dates and stocks, and the seconds
    it took per backtest. Left out (to each variant's own engine call) when the call
    fails."""
    priced: dict[int, np.ndarray] = {}
    seconds, count = 0.0, 0
    markets: list[list[tuple[Shared, list[tuple[int, tuple]]]]] = []
    for item in items:
        if not item[1]:
            continue
        for members in markets:
            work = members[0][0].work
            if work.index.equals(item[0].work.index) and work.columns.equals(item[0].work.columns):
                members.append(item)
                break
        else:
            markets.append([item])
    for members in markets:
        works = [shared.work for shared, _ in members]
        costs = [[c for _, c in variants] for _, variants in members]
        timeout = None if spec.timeout is None else spec.timeout * len(works)
        call = partial(_batch_returns.batch_returns, works, members[0][0].aligned, costs)
        started = time.perf_counter()
        try:
            values, dates = _tasks.within(timeout, "the backtest", call)
            if not dates.equals(members[0][0].dates):
                continue
        except Exception:
            continue
        seconds += time.perf_counter() - started
        count += sum(len(c) for c in costs)
        for (_, variants), rows in zip(members, values):
            for (number, _), row in zip(variants, rows):
                priced[number] = row
    return priced, seconds / max(count, 1)


def backtest_path(spec: _tasks.Spec, weights: pd.DataFrame, variants: list[tuple[int, dict[str, Any]]]) -> list[_tasks.Row]:
    """The rows of one group of ``shared_paths``, in its order: a lone variant is a
    backtest of its own, several share the path."""
    if len(variants) < 2:
        return [_tasks.backtest(spec, weights, number, pipeline) for number, pipeline in variants]
    try:
        shared = Shared(spec, weights, _window(variants[0][1], len(weights.index)))
    except Exception:  # the variants' own runs give their rows, errors included
        return [_tasks.backtest(spec, weights, number, pipeline) for number, pipeline in variants]
    priced, seconds = price(spec, [(shared, shared.pricing(spec, variants))])
    return shared.rows(spec, weights, variants, priced, seconds)
