"""Market-array alignment, the guarded Sharpe ratio and date-index conversion."""

import datetime as dt
import math

import numpy as np
import pandas as pd
import pytest

from tessary.backtest._core import _build_market_arrays, _with_datetime_index, safe_sharpe

KEYS = ["prev_close_arr", "can_buy_arr", "cant_sell_arr", "close_arr", "buy_price_arr",
        "sell_price_arr", "split_arr", "dividend_arr"]


def market(index, columns, seed=0):
    rng = np.random.default_rng(seed)
    shape = (len(index), len(columns))
    f = lambda a: pd.DataFrame(a, index=index, columns=columns)  # noqa: E731
    return [f(rng.random(shape) > 0.5), f(rng.random(shape) > 0.5)] + [f(rng.random(shape)) for _ in range(6)]


class TestBuildMarketArrays:
    def test_keys_dtypes_and_order(self):
        idx, cols = pd.Index(["a", "b", "c"]), pd.Index(["x", "y"])
        out = _build_market_arrays(idx, cols, *market(idx, cols))
        assert list(out) == KEYS
        assert out["can_buy_arr"].dtype == bool and out["cant_sell_arr"].dtype == bool
        assert all(out[k].dtype == np.float64 and out[k].shape == (3, 2) for k in KEYS if "_price" in k or "close" in k)

    @pytest.mark.parametrize("longer", [False, True])
    def test_matching_frames_are_not_copied(self, longer):
        source = pd.Index(["a", "b", "c", "d"])
        pnl = source[1:]
        cols = pd.Index(["x", "y"])
        frames = market(source if longer else pnl, cols)
        out = _build_market_arrays(pnl, cols, *frames)
        # frames order: can_buy, cant_sell, split, dividend, close, prev_close, buy, sell
        pairs = {"can_buy_arr": 0, "split_arr": 2, "close_arr": 4, "sell_price_arr": 7}
        for key, i in pairs.items():
            assert np.shares_memory(out[key], frames[i].to_numpy(copy=False)), key
            np.testing.assert_array_equal(out[key], frames[i].loc[pnl, cols].to_numpy())

    def test_frames_with_more_labels_in_another_order_are_reindexed(self):
        pnl, cols = pd.Index(["b", "c"]), pd.Index(["x", "y"])
        close = pd.DataFrame({"y": [1.0, 2.0, 3.0], "x": [4.0, np.nan, 6.0], "z": 0.0}, index=["a", "b", "c"])
        can_buy = pd.DataFrame({"y": [True, None], "x": [True, False]}, index=["c", "b"], dtype=object)
        frames = market(pnl, cols)
        frames[0], frames[4] = can_buy, close
        out = _build_market_arrays(pnl, cols, *frames)
        np.testing.assert_array_equal(out["close_arr"], [[np.nan, 2.0], [6.0, 3.0]])  # a NaN cell stays NaN
        np.testing.assert_array_equal(out["can_buy_arr"], [[False, False], [True, True]])  # None counts as False

    def test_labels_a_frame_lacks_raise_naming_frame_count_and_cause(self):
        days = pd.Index(["20240102", "20240103", "20240104"])
        cols = pd.Index(["600000", "000001"])
        frames = market(days, cols)
        with pytest.raises(ValueError, match=r"'close_price' lacks 2 date\(s\).*'20240103', '20240104'.*DatetimeIndex"):
            _build_market_arrays(days[1:], cols, *frames[:4],
                                 frames[4].set_axis(pd.to_datetime(days, format="%Y%m%d")), *frames[5:])
        with pytest.raises(ValueError, match=r"'can_buy_stock' lacks 1 stock code\(s\).*'600000.XSHG'.*suffix"):
            _build_market_arrays(days, pd.Index(["600000.XSHG", "000001"]), *frames)
        with pytest.raises(ValueError, match=r"'can_buy_stock' lacks 1 stock code"):
            _build_market_arrays(days, cols, frames[0][["000001"]], *frames[1:])
        with pytest.raises(ValueError, match=r"'sell_price' lacks 1 date"):
            _build_market_arrays(days, cols, *frames[:7], frames[7].iloc[:2])

    def test_inputs_are_not_mutated(self):
        pnl, cols = pd.Index(["b", "c"]), pd.Index(["x", "y"])
        frames = market(pnl, cols)
        frames[4] = frames[4].iloc[:, ::-1]
        before = [f.copy() for f in frames]
        _build_market_arrays(pnl, cols, *frames)
        for f, b in zip(frames, before):
            pd.testing.assert_frame_equal(f, b)


class TestSafeSharpe:
    def test_formula_on_finite_values(self):
        s = pd.Series([0.01, -0.02, 0.03, np.nan, np.inf])
        v = np.array([0.01, -0.02, 0.03])
        assert safe_sharpe(s, periods=252) == pytest.approx(v.mean() / v.std(ddof=1) * math.sqrt(252))
        assert safe_sharpe(s) == safe_sharpe(s, periods=252)

    @pytest.mark.parametrize("values", [[], [0.1], [0.2, 0.2, 0.2], [np.nan, np.nan], [np.inf, -np.inf]])
    def test_undefined_is_nan_never_raises(self, values):
        assert math.isnan(safe_sharpe(pd.Series(values, dtype=float), periods=252))


class TestWithDatetimeIndex:
    @pytest.mark.parametrize(
        "index",
        [["20240105", "20240108"], ["2024-01-05", "2024-01-08"], [20240105, 20240108],
         [dt.date(2024, 1, 5), dt.date(2024, 1, 8)], pd.to_datetime(["2024-01-05", "2024-01-08"])],
    )
    def test_date_forms(self, index):
        s = pd.Series([1.0, 2.0], index=index)
        out = _with_datetime_index(s)
        assert isinstance(out.index, pd.DatetimeIndex)
        assert list(out.index.strftime("%Y%m%d")) == ["20240105", "20240108"]
        assert out is not s and list(out) == [1.0, 2.0]
        assert list(s.index) == list(index)  # the caller's object keeps its index

    def test_frame_keeps_columns_and_order(self):
        df = pd.DataFrame({"b": [1, 2], "a": [3, 4]}, index=["20240108", "20240105"])
        out = _with_datetime_index(df)
        assert list(out.columns) == ["b", "a"] and list(out["b"]) == [1, 2]
        assert list(out.index.day) == [8, 5]

    def test_empty_frame(self):
        out = _with_datetime_index(pd.DataFrame())
        assert isinstance(out.index, pd.DatetimeIndex) and out.empty
