"""Sweeps that run in batches: the rows' figures from plain arrays equal the engine's
statistics; batches of 1, 3 and 40 paths, fee and window variants and
rebalance-only weights give the rows of one-combination sweeps to the bit; a memory
limit only changes the batches; a failing shared call or combination touches only
what it must."""

import math

import numpy as np
import pandas as pd
import pytest

import sweep_strategies as strategies
from sweep_market import assert_same_sweep_when_broken
from tessary.backtest import _pnl_engine
from tessary.backtest._core import safe_sharpe
from tessary.strategies import momentum
from tessary.sweep import STAT_KEYS, _batch, _batch_returns, _figures, run_sweep
from tessary.sweep._grid import combinations, group_by_strategy


def rebalance_only(market, lookback=5):
    """Momentum weights on every sixth date only, carried by the sweep."""
    return momentum(market, lookback=lookback).iloc[::6]


def _engine_row(returns, benchmark):
    frame = pd.DataFrame({"daily_return": returns, "index_daily_return": benchmark})
    stats = _pnl_engine.calc_strategy_stats(frame, None)
    return [stats[key] for key in _figures.RETURN_KEYS]


def _pipeline_excess(returns, benchmark):
    excess = pd.Series(returns).sub(pd.Series(benchmark), fill_value=0)
    return float(excess.mean() * 252), float(safe_sharpe(excess, periods=252))


def _series(rng, n, kind):
    values = rng.normal(0.0004, 0.02, n)
    if kind == "nan days" and n > 4:
        values[[1, n // 2, n - 1]] = np.nan
    elif kind == "constant":
        values[:] = 0.0015
    elif kind == "zero":
        values[:] = 0.0
    elif kind == "all nan":
        values[:] = np.nan
    return values


@pytest.mark.parametrize("n", [0, 1, 2, 3, 9, 130, 2500])
def test_figures_of_a_batch_equal_the_engines_statistics(n):
    rng = np.random.default_rng(n)
    kinds = ["plain", "nan days", "constant", "zero", "all nan", "plain"]
    returns = np.stack([_series(rng, n, kind) for kind in kinds]) if n else np.empty((len(kinds), 0))
    for benchmark in (rng.normal(0.0002, 0.012, n), np.zeros(n), np.where(np.arange(n) == 2, np.nan, 0.001)):
        stats = _figures.return_stats(returns, benchmark)
        annual, sharpe = _figures.excess_figures(returns, benchmark)
        for i, row in enumerate(returns):
            np.testing.assert_array_equal(stats[i], _engine_row(row, benchmark))
            np.testing.assert_array_equal([annual[i], sharpe[i]], _pipeline_excess(row, benchmark))


def test_a_row_with_an_infinite_return_takes_the_engines_own_route():
    returns = np.array([[0.01, -0.02, 0.03, 0.0], [0.01, np.inf, 0.02, -0.01]])
    benchmark = np.array([0.001, 0.002, np.nan, 0.0])
    with np.errstate(invalid="ignore"):  # the engine subtracts inf from inf
        stats = _figures.return_stats(returns, benchmark)
        expected = [_engine_row(row, benchmark) for row in returns]
    np.testing.assert_array_equal(stats, expected)


def test_rows_of_a_real_sweep_equal_the_engines_statistics_of_their_returns(sweep_store):
    grid = {"lookback": [5, 9], "rolling_window": [0, 4], "fee": [0.0, 3e-4], "between": ["resize", "hold"]}
    result = run_sweep(sweep_store, rebalance_only, grid, workers=2, progress=False)
    from tessary.backtest._prepare import BinaryPreparedDataStore

    benchmark = BinaryPreparedDataStore(sweep_store).load_benchmark_dict()["000852"]
    for number, daily in result.daily_returns.items():
        aligned = benchmark.reindex(daily.index, fill_value=0.0).to_numpy()
        figures = result.table.loc[number, list(_figures.RETURN_KEYS)].to_numpy(dtype=float)
        np.testing.assert_allclose(figures, _engine_row(daily.to_numpy(), aligned), rtol=1e-12, atol=0)


def _singles(store, strategy, grid):
    names, combos = combinations(grid, strategy)
    return [run_sweep(store, strategy, [combo.params], workers=1, progress=False) for combo in combos]


def _assert_rows_equal(batched, singles):
    figures = [c for c in batched.table.columns if c not in batched.grid_names and c != "error"]
    assert batched.table["error"].isna().all()
    for number, single in enumerate(singles):
        np.testing.assert_array_equal(batched.table.loc[number, figures].to_numpy(dtype=float),
                                      single.table.loc[0, figures].to_numpy(dtype=float))
        pd.testing.assert_series_equal(batched.daily_returns[number], single.daily_returns[0], check_exact=True,
                                       check_names=False)


@pytest.fixture
def shared_calls(monkeypatch):
    """The number of weight matrices of every batch_returns call."""
    calls = []
    real = _batch_returns.batch_returns

    def counted(works, aligned, costs):
        calls.append(len(works))
        return real(works, aligned, costs)

    monkeypatch.setattr(_batch_returns, "batch_returns", counted)
    return calls


@pytest.mark.parametrize("lookbacks, windows, expected", [
    ([5], [3], [1]),
    ([5], [0, 2, 4], [3]),
    ([3, 4, 5, 6, 7, 8, 9, 10], [0, 2, 3, 5, 8], [40]),
])
def test_batches_of_1_3_and_40_paths_equal_one_combination_sweeps(sweep_store, shared_calls, lookbacks, windows,
                                                                 expected):
    grid = {"lookback": lookbacks, "rolling_window": windows, "fee": [0.0, 2e-4]}
    batched = run_sweep(sweep_store, rebalance_only, grid, workers=1, progress=False)
    assert shared_calls == expected  # one call per batch, every path of the batch in it
    shared_calls.clear()
    _assert_rows_equal(batched, _singles(sweep_store, rebalance_only, grid))


def test_a_small_memory_limit_makes_small_batches_and_the_same_rows(sweep_store, shared_calls):
    grid = {"lookback": [5, 8], "rolling_window": [0, 3, 6], "fee": [1e-4, 3e-4], "total_money": [1e6, 1e8]}
    whole = run_sweep(sweep_store, momentum, grid, workers=1, progress=False)
    assert shared_calls == [6]
    shared_calls.clear()
    cells = 90 * 30 * 8  # one weight matrix of the test store
    small = run_sweep(sweep_store, momentum, grid, workers=2, progress=False, memory_limit=2 * 2 * cells)
    assert sorted(shared_calls) == [1] * 6
    pd.testing.assert_frame_equal(small.table, whole.table, check_exact=True)
    pd.testing.assert_frame_equal(small.daily_returns, whole.daily_returns, check_exact=True)


@pytest.mark.parametrize("limit", [0, -1, 0.5, float("nan"), float("inf"), "2GB", True])
def test_nonsense_memory_limits_are_refused(sweep_store, limit):
    with pytest.raises(ValueError, match="memory_limit must be a positive number of bytes or None, got"):
        run_sweep(sweep_store, momentum, {"lookback": [5]}, memory_limit=limit, progress=False)


@pytest.mark.parametrize("memory, workers", [(10**12, 1), (10**12, 4), (1, 2), (8 * 21_600, 1), (5 * 21_600, 3)])
def test_plans_keep_grid_order_each_variant_once_and_the_limits(memory, workers):
    grid = {"lookback": [3, 5, 7, 9], "share": [0.1, 0.2], "rolling_window": [0, 3, 4], "fee": [0.0, 1e-4]}
    _, combos = combinations(grid, momentum)
    matrix = 90 * 30 * 8
    batches = _batch.plan(group_by_strategy(combos), 90, 30, memory, workers)
    numbers = [number for batch in batches for piece in batch.pieces for number, _ in piece.variants]
    assert numbers == list(range(len(combos)))
    assert sum(batch.size for batch in batches) == len(combos)
    assert len(batches) >= min(workers, 8 * 3)  # every worker has a batch
    for batch in batches:
        held = matrix * (1 + sum(1 + len({v[1]["rolling_window"] for v in piece.variants} - {0})
                                 for piece in batch.pieces))
        paths = sum(len({v[1]["rolling_window"] for v in piece.variants}) for piece in batch.pieces)
        assert held <= memory // workers or paths == 1  # a path that does not fit runs alone


def test_a_failing_shared_call_falls_back_to_each_variants_own_run(sweep_store, monkeypatch):
    grid = {"lookback": [5, 7], "rolling_window": [0, 3], "fee": [1e-4, 3e-4]}
    assert_same_sweep_when_broken(sweep_store, grid, monkeypatch, _batch_returns, "batch_returns")


def test_a_failing_set_in_a_batch_fails_only_its_rows(sweep_store, shared_calls):
    grid = {"lookback": [5, 7, 9], "fail_on": [7], "fee": [1e-4, 3e-4]}
    result = run_sweep(sweep_store, strategies.picky, grid, workers=1, progress=False)
    assert shared_calls == [2]  # both other sets in the one batch
    assert result.table["error"].tolist() == [None, None] + ["ValueError: no weights for lookback 7"] * 2 + [None, None]
    assert result.table.loc[[2, 3], list(STAT_KEYS)].isna().all().all()
    assert result.daily_returns[[2, 3]].isna().all().all() and result.daily_returns[[0, 1, 4, 5]].notna().any().all()


def test_returns_on_different_dates_span_the_union_of_the_dates(sweep_store):
    grid = {"kind": ["subset", "ok"], "fee": [1e-4, 3e-4]}
    result = run_sweep(sweep_store, strategies.shaped, grid, workers=1, progress=False)
    singles = _singles(sweep_store, strategies.shaped, grid)
    expected = pd.DataFrame({i: single.daily_returns[0] for i, single in enumerate(singles)})
    expected.columns.name = "combination"
    pd.testing.assert_frame_equal(result.daily_returns, expected, check_exact=True)
    assert math.isnan(result.daily_returns.iloc[0, 0]) and not math.isnan(result.daily_returns.iloc[0, 2])
