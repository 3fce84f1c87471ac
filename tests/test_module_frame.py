"""Module frame of the strategy engine: load-time bindings, the result record, the
plot lock, and the shared argument binder's conversions and messages."""

import dataclasses
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _core
from tessary.backtest import _pnl_engine as pe
from tessary.backtest._market_frames import INPUT_FRAMES


def test_loading_does_not_import_matplotlib():
    code = "import sys, tessary.backtest._pnl_engine; print('matplotlib' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_bindings_and_constants():
    assert pe.np is np and pe.pd is pd
    assert pe._build_market_arrays is _core._build_market_arrays
    assert pe.safe_sharpe is _core.safe_sharpe and pe._with_datetime_index is _core._with_datetime_index
    assert (pe.TRADING_DAYS_PER_YEAR, pe.ROLLING_STABILITY_DAYS, pe.MIN_ROLLING_STABILITY_DAYS) == (252, 60, 5)
    lock = pe._MATPLOTLIB_PLOT_LOCK
    assert isinstance(lock, type(threading.RLock()))
    with lock:
        with lock:  # re-entrant
            pass


class TestResultRecord:
    FIELDS = ["strategy_name", "daily_return", "cumulative_return", "stats", "benchmark_summary", "plot_paths"]

    def test_is_a_dataclass_with_six_required_fields(self):
        cls = pe._PnlEngineResult
        assert dataclasses.is_dataclass(cls)
        assert cls.__module__ == "tessary.backtest._pnl_engine"
        fields = dataclasses.fields(cls)
        assert [f.name for f in fields] == self.FIELDS
        assert all(f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING for f in fields)
        with pytest.raises(TypeError):
            cls("only one")

    def test_equality_repr_and_mutability(self):
        s = pd.Series([0.1])
        a = pe._PnlEngineResult("x", s, s, {}, pd.DataFrame(), {})
        b = pe._PnlEngineResult(strategy_name="x", daily_return=s, cumulative_return=s, stats={},
                                benchmark_summary=pd.DataFrame(), plot_paths={})
        assert repr(a).startswith("_PnlEngineResult(strategy_name='x'")
        a.plot_paths = {"main": "m.png"}
        assert a.plot_paths == {"main": "m.png"} and b.plot_paths == {}


def frames(n=3):
    idx = [f"2024010{i + 1}" for i in range(n)]
    f = lambda v: pd.DataFrame({"000001": [v] * n}, index=idx)  # noqa: E731
    return [f(0.1), f(True), f(False), f(np.nan), f(np.nan), f(10.0), f(10.0), f(10.0), f(10.0)]


class TestArgumentBinding:
    def test_float_and_int_conversion(self):
        base = pe.calc_strategy_vwap_daily_return(*frames(), lot_size=200)
        # int for a float parameter, float truncated for an int parameter
        same = pe.calc_strategy_vwap_daily_return(*frames(), 100000000, 0.0001, 0.0005, 200.9)
        pd.testing.assert_series_equal(base, same)
        np_float = pe.calc_strategy_vwap_daily_return(*frames(), total_money=np.float32(1e8), lot_size=np.int64(200))
        pd.testing.assert_series_equal(base, np_float)

    @pytest.mark.parametrize(
        "kwargs,message",
        [
            ({"lot_size": "200"}, "Argument 'lot_size' has incorrect type (expected int, got str)"),
            ({"lot_size": None}, "Argument 'lot_size' has incorrect type (expected int, got NoneType)"),
            ({"fee": "0.1"}, "must be real number, not str"),
            ({"bogus": 1}, "calc_strategy_vwap_daily_return() got an unexpected keyword argument 'bogus'"),
        ],
    )
    def test_type_and_keyword_errors(self, kwargs, message):
        with pytest.raises(TypeError) as err:
            pe.calc_strategy_vwap_daily_return(*frames(), **kwargs)
        assert str(err.value) == message

    def test_count_messages(self):
        with pytest.raises(TypeError) as err:
            pe.calc_strategy_vwap_daily_return(*frames()[:2])
        assert str(err.value) == "calc_strategy_vwap_daily_return() takes at least 9 positional arguments (2 given)"
        with pytest.raises(TypeError) as err:
            pe.calc_strategy_vwap_daily_return(*frames(), 1, 2, 3, 4, 5)
        assert str(err.value) == "calc_strategy_vwap_daily_return() takes at most 13 positional arguments (14 given)"
        with pytest.raises(TypeError) as err:
            pe.calc_strategy_vwap_daily_return()
        assert str(err.value) == "calc_strategy_vwap_daily_return() takes at least 9 positional arguments (0 given)"

    def test_required_argument_missing_among_keywords(self):
        f = frames()
        kw = dict(zip(INPUT_FRAMES, f))
        del kw["close_price"]
        with pytest.raises(TypeError) as err:
            pe.calc_strategy_vwap_daily_return(**kw)
        # the count in effect is the position of the first missing parameter
        assert str(err.value) == "calc_strategy_vwap_daily_return() takes at least 9 positional arguments (5 given)"

    def test_duplicate_value_for_a_parameter(self):
        with pytest.raises(TypeError, match="got multiple values for keyword argument 'signal_matrix'"):
            pe.calc_strategy_vwap_daily_return(*frames(), signal_matrix=frames()[0])

    def test_rejected_call_does_nothing(self, monkeypatch):
        called = []
        monkeypatch.setattr(pe, "_build_market_arrays", lambda *a: called.append(a))
        with pytest.raises(TypeError):
            pe.calc_strategy_vwap_daily_return(*frames(), lot_size="x")
        assert called == []
