"""Limits of a sweep: a per-combination timeout, and grids too large to run, refused
before they are expanded."""

import threading
import time

import pytest

import sweep_strategies as strategies
from tessary.backtest import _pnl_engine as eng
from tessary.sweep import run_sweep
from tessary.sweep._grid import MAX_COMBINATIONS


def test_a_strategy_that_runs_too_long_fails_its_rows_only(sweep_store):
    started = time.monotonic()
    result = run_sweep(sweep_store, strategies.slow, {"pause": [0.0, 20.0], "fee": [1e-4, 2e-4]}, workers=2,
                       timeout=1, progress=False)
    assert time.monotonic() - started < 15  # the slow strategy was not waited for
    errors = result.table["error"].tolist()
    assert errors[:2] == [None, None]
    assert errors[2:] == ["TimeoutError: the strategy ran longer than the timeout of 1 s"] * 2
    assert result.table["long_sharp"].iloc[:2].notna().all() and result.table["long_sharp"].iloc[2:].isna().all()


def test_a_backtest_that_runs_too_long_fails_its_row(sweep_store, monkeypatch):
    real = eng.run_strategy_backtest_core
    release = threading.Event()

    def stuck_for_huge_capital(*args, **kwargs):
        if kwargs.get("total_money") == 1e12:
            release.wait(30)
        return real(*args, **kwargs)

    monkeypatch.setattr(eng, "run_strategy_backtest_core", stuck_for_huge_capital)
    try:
        result = run_sweep(sweep_store, strategies.counted, {"lookback": [5], "total_money": [1e8, 1e12]},
                           workers=2, timeout=0.5, progress=False)
    finally:
        release.set()
    assert result.table["error"].tolist() == [None, "TimeoutError: the backtest ran longer than the timeout of 0.5 s"]


@pytest.mark.parametrize("timeout", [0, -1, float("inf"), float("nan"), "10", True])
def test_bad_timeouts_are_refused(sweep_store, timeout):
    with pytest.raises(ValueError, match="timeout must be a positive number of seconds or None"):
        run_sweep(sweep_store, strategies.counted, {"lookback": [5]}, timeout=timeout, progress=False)


@pytest.mark.parametrize("grid, match", [
    ({"lookback": range(100_000), "share": range(10_000)},
     r"the grid has 1,000,000,000 combinations \(lookback: 100,000 x share: 10,000\); a sweep runs at most 1,000,000"),
    ({"lookback": range(1_000_001)}, "the grid has 1,000,001 combinations"),
    ({"lookback": list(range(1001)), "share": [0.1] * 1000}, "the grid has 1,001,000 combinations"),
    ([{"lookback": 5}] * (MAX_COMBINATIONS + 1), r"the grid has 1,000,001 combinations \(one per dict of the list\)"),
])
def test_huge_grids_are_refused_before_they_are_expanded(sweep_store, grid, match):
    strategies.calls.clear()
    started = time.monotonic()
    with pytest.raises(ValueError, match=match):
        run_sweep(sweep_store, strategies.counted, grid, progress=False)
    assert time.monotonic() - started < 10  # expanding 10^9 points would never end
    assert strategies.calls == []
