"""The statistics and excess figures of many daily-return series at once, from plain
arrays: the figures ``calc_strategy_stats`` and the pipeline's benchmark summary give
for one series, computed with the same operations in the same order (running sums
and maxima along the dates, numpy's reductions along each row), so that a row of a
batch equals the row of its own backtest.

A series with missing days is first cut to the days both it and the benchmark have,
as the engine drops them; a series holding an infinite return is left to the
engine's own function (the running figures would differ where inf - inf appears)."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

#: The statistics that depend on the daily returns alone, in the engine's order.
RETURN_KEYS = (
    "annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp", "extra_max_dd",
    "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate", "excess_win_rate",
)
YEAR_DAYS = 252


def safe_sharpes(values: np.ndarray, periods: int = YEAR_DAYS) -> np.ndarray:
    """``safe_sharpe`` of every row of ``values`` (K x n): rows holding a value that is
    not finite go through the function itself, the others at once."""
    from tessary.backtest._core import safe_sharpe

    rows, n = values.shape
    out = np.full(rows, np.nan)
    finite = np.isfinite(values).all(axis=1)
    for i in np.flatnonzero(~finite):
        out[i] = safe_sharpe(values[i], periods=periods)
    if n < 2 or not finite.any():
        return out
    clean = values[finite]
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        std = np.std(clean, axis=1, ddof=1)
        sharpe = np.mean(clean, axis=1) / std * math.sqrt(periods)
    defined = (clean.min(axis=1) != clean.max(axis=1)) & np.isfinite(std) & (std != 0.0)
    out[finite] = np.where(defined, sharpe, np.nan)
    return out


def _drawdowns(levels: np.ndarray) -> np.ndarray:
    """The deepest fall of each row of net values below its running maximum."""
    return (levels - np.maximum.accumulate(levels, axis=1)).min(axis=1)


def _correlations(strategy: np.ndarray, benchmark: np.ndarray) -> np.ndarray:
    """The engine's Pearson correlation of each row with its benchmark row: centred,
    scaled by the largest magnitude, then dot products one row at a time."""
    rows, n = strategy.shape
    out = np.full(rows, np.nan)
    if n < 2:
        return out
    a = strategy - strategy.mean(axis=1, keepdims=True)
    b = benchmark - benchmark.mean(axis=1, keepdims=True)
    a_scale = np.abs(a).max(axis=1)
    b_scale = np.abs(b).max(axis=1)
    fact = float(n - 1)
    for i in np.flatnonzero((a_scale != 0.0) & (b_scale != 0.0)):
        x = a[i] / a_scale[i]
        y = b[i] / b_scale[i]
        divisor = np.sqrt(np.dot(x, x) / fact)
        if divisor == 0.0:
            continue
        result = np.dot(x, y) / fact / divisor
        divisor = np.sqrt(np.dot(y, y) / fact)
        if divisor == 0.0:
            continue
        out[i] = float(np.clip(result / divisor, -1.0, 1.0))
    return out


def _complete_stats(strategy: np.ndarray, benchmark: np.ndarray) -> np.ndarray:
    """The statistics of rows with every day present (K x n each, n > 0), K x 11."""
    rows, n = strategy.shape
    year_count = n / float(YEAR_DAYS)
    excess = strategy - benchmark
    nav = np.cumsum(strategy, axis=1) + 1.0
    excess_cum = np.cumsum(excess, axis=1)
    bench_nav = np.cumsum(benchmark, axis=1)[:, -1] + 1.0
    out = np.empty((rows, len(RETURN_KEYS)))
    out[:, 0] = (nav[:, -1] - 1.0) / year_count * 100.0
    out[:, 1] = safe_sharpes(strategy)
    out[:, 2] = np.abs(_drawdowns(nav)) * 100.0
    out[:, 3] = excess_cum[:, -1] / year_count * 100.0
    out[:, 4] = safe_sharpes(excess)
    out[:, 5] = np.abs(_drawdowns(excess_cum + 1.0)) * 100.0
    out[:, 6] = (bench_nav - 1.0) / year_count * 100.0
    out[:, 7] = safe_sharpes(benchmark)
    out[:, 8] = _correlations(strategy, benchmark)
    out[:, 9] = np.count_nonzero(strategy > 0.0, axis=1) / float(n) * 100.0
    out[:, 10] = np.count_nonzero(excess > 0.0, axis=1) / float(n) * 100.0
    return out


def _engine_stats(strategy: np.ndarray, benchmark: np.ndarray) -> np.ndarray:
    """One row's statistics by the engine's own function."""
    from tessary.backtest import _pnl_engine

    frame = pd.DataFrame({"daily_return": strategy, "index_daily_return": benchmark})
    stats = _pnl_engine.calc_strategy_stats(frame, None)
    return np.array([float(stats.get(key, math.nan)) for key in RETURN_KEYS])


def return_stats(returns: np.ndarray, benchmark: np.ndarray) -> np.ndarray:
    """The statistics ``RETURN_KEYS`` of each row of ``returns`` (K x n) against the
    primary benchmark's returns on the same dates (n, or K x n), K x 11. Days where
    either is missing are left out of that row's figures; a row with no day left is
    all NaN."""
    returns = np.asarray(returns, dtype=np.float64)
    rows, n = returns.shape
    bench = np.broadcast_to(np.asarray(benchmark, dtype=np.float64), (rows, n))
    out = np.full((rows, len(RETURN_KEYS)), np.nan)
    present = ~(np.isnan(returns) | np.isnan(bench))
    whole = present.all(axis=1)
    finite = np.isfinite(returns).all(axis=1) & np.isfinite(bench).all(axis=1)
    fast = whole & finite
    if n and fast.any():
        out[fast] = _complete_stats(returns[fast], np.ascontiguousarray(bench[fast]))
    for i in np.flatnonzero(~fast):
        keep = present[i]
        strategy, bm = returns[i, keep], bench[i, keep]
        if not strategy.size:
            continue
        if np.isfinite(strategy).all() and np.isfinite(bm).all():
            out[i] = _complete_stats(strategy[None, :], bm[None, :])[0]
        else:
            out[i] = _engine_stats(strategy, bm)
    return out


def excess_figures(returns: np.ndarray, benchmark: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per row of ``returns`` (K x n) its excess over ``benchmark`` (n, on the same
    dates, missing dates already 0): the annualised mean and the Sharpe ratio, as
    the pipeline's benchmark summary gives them. A day missing on one side counts
    as 0 there; a day missing on both stays missing and is left out."""
    returns = np.asarray(returns, dtype=np.float64)
    bench = np.asarray(benchmark, dtype=np.float64)[None, :]
    gone, bench_gone = np.isnan(returns), np.isnan(bench)
    excess = np.where(gone & ~bench_gone, 0.0, returns) - np.where(bench_gone & ~gone, 0.0, bench)
    missing = np.isnan(excess)
    count = excess.shape[1] - np.count_nonzero(missing, axis=1)
    total = np.where(missing, 0.0, excess).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.where(count > 0, total / np.maximum(count, 1), np.nan)
    return mean * YEAR_DAYS, safe_sharpes(excess)
