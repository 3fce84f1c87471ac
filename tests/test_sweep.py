"""Sweeps on local threads: the grid, rows equal to single backtests to the bit,
sharing of the strategy's weights, failing combinations, bad input, Ctrl-C, the
result's returns and heatmaps."""

import numpy as np
import pandas as pd
import pytest

import sweep_strategies as strategies
from sweep_market import BENCHMARKS, GRID
from tessary.backtest._market_frames import MARKET_FRAMES
from tessary.backtest._pnl_engine import run_strategy_backtest_core
from tessary.backtest._prepare import BinaryPreparedDataStore
from tessary.strategies import momentum
from tessary.sweep import STAT_KEYS, run_sweep
from tessary.sweep._grid import expand_grid

@pytest.fixture(scope="module")
def serial(sweep_store):
    return run_sweep(sweep_store, momentum, GRID, workers=1, progress=False)


def direct_backtest(sweep_store, weights, start=None, end=None, **pipeline):
    store = BinaryPreparedDataStore(sweep_store)
    data = store.load(start_date=start, end_date=end)["data"]
    names = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
    market = {p: data[names.get(p, p)].reindex(index=weights.index, columns=weights.columns)
              for p in MARKET_FRAMES}
    return run_strategy_backtest_core(weights, **market, benchmark_dict=store.load_benchmark_dict(start, end),
                                      plot_image_kind=None, **pipeline)


class TestGrid:
    def test_product_in_given_order_and_list_of_dicts(self):
        names, points = expand_grid({"b": [1, 2], "a": ["x", "y", "z"]})
        assert names == ["b", "a"]
        assert points == [{"b": b, "a": a} for b in (1, 2) for a in "xyz"]
        assert expand_grid({"a": range(2), "b": np.array([0.5])})[1] == [{"a": 0, "b": 0.5}, {"a": 1, "b": 0.5}]
        names, points = expand_grid([{"fee": 1e-4}, {"lookback": 5, "fee": 2e-4}])
        assert names == ["fee", "lookback"] and points[1] == {"lookback": 5, "fee": 2e-4}


class TestRows:
    def test_table_layout(self, serial):
        table = serial.table
        assert list(table.columns[:4]) == list(GRID)
        assert list(table.columns[4:17]) == list(STAT_KEYS)
        assert list(table.columns[17:]) == [c for bm in BENCHMARKS for c in
                                            (f"excess_annual_return_{bm}", f"excess_sharpe_{bm}")] + ["error"]
        assert len(table) == 16 and table["error"].isna().all()
        assert repr(serial) == "SweepResult(16 combinations of lookback, share, rolling_window, fee; 0 failed; daily returns kept)"
        assert table.loc[5, ["lookback", "share", "rolling_window", "fee"]].tolist() == [5, 0.3, 0, 3e-4]

    def test_every_row_is_the_single_backtest_to_the_bit(self, sweep_store, serial):
        for number in (0, 7, 13):
            row = serial.table.loc[number]
            weights = momentum(BinaryPreparedDataStore(sweep_store).load()["data"], lookback=int(row["lookback"]),
                               share=float(row["share"]))
            result = direct_backtest(sweep_store, weights, rolling_window=int(row["rolling_window"]), fee=float(row["fee"]))
            np.testing.assert_array_equal(row[list(STAT_KEYS)].to_numpy(dtype=float),
                                          [result.stats[k] for k in STAT_KEYS])
            summary = result.benchmark_summary.set_index("benchmark_name")
            for bm in BENCHMARKS:
                assert row[f"excess_annual_return_{bm}"] == summary.loc[bm, "excess_annual_return"]
                assert row[f"excess_sharpe_{bm}"] == summary.loc[bm, "excess_sharpe"]
            pd.testing.assert_series_equal(serial.daily_returns[number], result.daily_return, check_names=False,
                                           check_exact=True)

    def test_threads_give_the_same_table_and_returns(self, sweep_store, serial):
        threaded = run_sweep(sweep_store, momentum, GRID, workers=3, progress=False)
        pd.testing.assert_frame_equal(threaded.table, serial.table, check_exact=True)
        pd.testing.assert_frame_equal(threaded.daily_returns, serial.daily_returns, check_exact=True)

    def test_weights_computed_once_per_strategy_setting(self, sweep_store):
        strategies.calls.clear()
        grid = {"lookback": [5, 10], "fee": [1e-4, 2e-4, 3e-4], "share": [0.2], "rule_fee": [0.0, 5e-4]}
        result = run_sweep(sweep_store, strategies.counted, grid, workers=2, progress=False)
        assert sorted(strategies.calls) == [(5, 0.2), (10, 0.2)]
        assert result.table["error"].isna().all() and len(result.table) == 12

    def test_date_range_and_other_primary_benchmark(self, sweep_store):
        result = run_sweep(sweep_store, momentum, {"lookback": [5]}, start_date="2021-02-01", end_date="20210415",
                           benchmark="000300", workers=1, progress=False, keep_returns=False)
        assert result.daily_returns is None
        data = BinaryPreparedDataStore(sweep_store).load(start_date="20210201", end_date="20210415")["data"]
        expected = direct_backtest(sweep_store, momentum(data, lookback=5), "20210201", "20210415",
                                   benchmark_names="000300")
        assert result.table.loc[0, "long_sharp"] == expected.stats["long_sharp"]


class TestFailures:
    def test_a_failing_combination_carries_its_error(self, sweep_store):
        result = run_sweep(sweep_store, strategies.picky, {"lookback": [5, 7, 10], "fail_on": [7], "fee": [1e-4, 2e-4]},
                           workers=2, progress=False)
        errors = result.table["error"]
        assert errors.notna().tolist() == [False, False, True, True, False, False]
        assert errors[2] == "ValueError: no weights for lookback 7"
        assert result.table.loc[2, list(STAT_KEYS)].isna().all()
        assert result.daily_returns[2].isna().all() and result.daily_returns[0].notna().any()

    def test_weights_that_are_not_a_frame_on_the_store(self, sweep_store):
        kinds = ["ok", "list", "foreign_date", "foreign_code", "subset"]
        table = run_sweep(sweep_store, strategies.shaped, {"kind": kinds}, workers=2, progress=False).table
        errors = dict(zip(kinds, table["error"]))
        assert errors["ok"] is None and errors["subset"] is None
        assert errors["list"].startswith("TypeError: the strategy returned list")
        assert "19990101" in errors["foreign_date"] and "not trading days" in errors["foreign_date"]
        assert "999999" in errors["foreign_code"]

    def test_a_strategy_cannot_change_what_other_tasks_see(self, sweep_store, serial):
        run_sweep(sweep_store, strategies.mutating, {"lookback": [5, 10]}, workers=2, progress=False)
        again = run_sweep(sweep_store, momentum, GRID, workers=2, progress=False)
        pd.testing.assert_frame_equal(again.table, serial.table, check_exact=True)

    @pytest.mark.parametrize("grid,kwargs,match", [
        ({}, {}, "the grid is empty"),
        ([], {}, "the grid is empty"),
        ({"lookback": 5}, {}, "must be a list of values"),
        ({"lookback": []}, {}, "holds no values"),
        ({"lookbak": [5]}, {}, "'lookbak' are neither pipeline parameters"),
        ({"lookback": [5], "fee": [-1.0]}, {}, r"fee must be finite and >= 0 and < 1, not -1\.0"),
        ({"lookback": [5], "fee": [2.0]}, {}, r"fee must be finite and >= 0 and < 1, not 2\.0"),
        ({"lookback": [5], "total_money": [float("nan")]}, {}, "total_money must be finite and > 0, not nan"),
        ({"lookback": [5], "rolling_window": [-1]}, {}, "rolling_window must not be negative, not -1"),
        ({"lookback": [5], "rolling_window": [1.5]}, {}, "rolling_window must be an int, not float"),
        ("lookback=5", {}, "the grid must be a dict"),
        ({"lookback": [5]}, {"benchmark": "000001"}, "unknown benchmark '000001'"),
        ({"lookback": [5]}, {"start_date": "20210301", "end_date": "20210201"}, "lies after"),
        ({"lookback": [5]}, {"start_date": "2030-01-01"}, "holds 0 date"),
        ({"lookback": [5]}, {"start_date": "yesterday"}, "start_date must be a date"),
        ({"lookback": [5]}, {"workers": 0}, "workers must be a positive integer"),
    ])
    def test_bad_input_fails_before_any_task(self, sweep_store, grid, kwargs, match):
        strategies.calls.clear()
        with pytest.raises((ValueError, TypeError), match=match):
            run_sweep(sweep_store, strategies.counted, grid, progress=False, **kwargs)
        assert strategies.calls == []

    def test_missing_store_and_non_callable_strategy(self, tmp_path, sweep_store):
        with pytest.raises(FileNotFoundError, match="store not found"):
            run_sweep(tmp_path / "nowhere", momentum, {"lookback": [5]}, progress=False)
        with pytest.raises(TypeError, match="strategy must be a function"):
            run_sweep(sweep_store, "momentum", {"lookback": [5]}, progress=False)
        with pytest.raises(ImportError if not _has_dask() else TypeError, match="Client"):
            run_sweep(sweep_store, momentum, {"lookback": [5]}, client=object(), progress=False)

    def test_client_without_dask_names_the_extra(self, sweep_store, monkeypatch):
        import sys

        monkeypatch.setitem(sys.modules, "distributed", None)  # as if it were not installed
        with pytest.raises(ImportError, match=r"tessary\[dask\]"):
            run_sweep(sweep_store, momentum, {"lookback": [5]}, client=object(), progress=False)

    def test_ctrl_c_cancels_and_returns_nothing(self, sweep_store, ctrl_c):
        ctrl_c(0.3)
        with pytest.raises(KeyboardInterrupt):
            run_sweep(sweep_store, strategies.slow, {"lookback": list(range(2, 40)), "pause": [0.1]}, workers=2,
                      progress=False)


def _has_dask():
    try:
        import distributed  # noqa: F401
    except ImportError:
        return False
    return True


class TestResult:
    def test_heatmap_best_and_fixed(self, serial, tmp_path):
        table = serial.table
        frame = serial.heatmap_frame("lookback", "share")
        for lookback in (5, 10):
            for share in (0.1, 0.3):
                cell = table[(table.lookback == lookback) & (table.share == share)]
                assert frame.loc[share, lookback] == cell["long_sharp"].max()
        fixed = serial.heatmap_frame("share", "lookback", "max_dd", fee=3e-4, rolling_window=0)
        want = table[(table.fee == 3e-4) & (table.rolling_window == 0)].set_index(["lookback", "share"])["max_dd"]
        assert fixed.loc[10, 0.3] == want.loc[(10, 0.3)]
        drawdown_best = serial.heatmap_frame("share", "lookback", "max_dd")
        assert drawdown_best.loc[5, 0.1] == table[(table.lookback == 5) & (table.share == 0.1)]["max_dd"].min()
        path = serial.heatmap("lookback", "share", save_path=tmp_path / "out" / "sharpe.png", fee=1e-4)
        with open(path, "rb") as fh:
            assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
        assert [p.name for p in (tmp_path / "out").iterdir()] == ["sharpe.png"]

    @pytest.mark.parametrize("args,kwargs,match", [
        (("lookback", "lookback"), {}, "two different"),
        (("lookback", "nope"), {}, "not a grid name"),
        (("lookback", "share", "sharpe"), {}, "unknown statistic"),
        (("lookback", "share"), {"fee": 9.0}, "fee=9.0 is not in the grid"),
    ])
    def test_heatmap_refuses_what_it_cannot_draw(self, serial, args, kwargs, match):
        with pytest.raises(ValueError, match=match):
            serial.heatmap_frame(*args, **kwargs)

    def test_best_rows(self, serial):
        best = serial.best(3)
        assert best["long_sharp"].tolist() == sorted(serial.table["long_sharp"], reverse=True)[:3]
