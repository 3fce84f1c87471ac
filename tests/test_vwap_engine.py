"""The VWAP daily-return engine: worked examples, agreement with the numpy reference,
short input, bad market arrays and input immutability."""

import numpy as np
import pandas as pd
import pytest

from reference.vwap import random_market, vwap_daily_return_numpy
from tessary.backtest import _pnl_engine as pe
from tessary.backtest._market_frames import MARKET_FRAMES

MARKET_KEYS = list(MARKET_FRAMES)


def one_stock(dates, **columns):
    """Frames of one stock "000001" over ``dates`` from per-date value lists."""
    defaults = dict(
        signal_matrix=[0.0] * len(dates), can_buy_stock=[True] * len(dates),
        cant_sell_stock=[False] * len(dates), split_factor=[np.nan] * len(dates),
        dividend_factor=[np.nan] * len(dates), close_price=[10.0] * len(dates),
        prev_close=[10.0] * len(dates), buy_price=[10.0] * len(dates), sell_price=[10.0] * len(dates),
    )
    defaults.update(columns)
    return {k: pd.DataFrame({"000001": v}, index=pd.Index(dates)) for k, v in defaults.items()}


class TestWorkedExamples:
    def test_buy_then_sell(self):
        f = one_stock(["d0", "d1", "d2"], signal_matrix=[1.0, 0.0, 0.0],
                      prev_close=[10.0, 10.0, 10.5], buy_price=[10.0, 10.1, 10.0],
                      close_price=[10.0, 10.5, 10.3], sell_price=[10.0, 10.0, 10.4])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6, lot_size=100, fee=0.0001, rule_fee=0.0005)
        assert list(r.index) == ["d1", "d2"]
        assert r.name is None and r.dtype == np.float64
        # 100,000 shares bought at 10.1 incl. commission, valued at the close 10.5.
        assert r.iloc[0] == pytest.approx(100_000 * (10.5 - 10.1 * 1.0001) / 1e6, rel=1e-12)
        assert r.iloc[0] == pytest.approx(0.039899, abs=1e-9)
        # All sold at 10.4 less commission and levy, from the previous close 10.5.
        assert r.iloc[1] == pytest.approx(100_000 * (10.4 * 0.9994 - 10.5) / 1e6, rel=1e-12)
        assert r.iloc[1] == pytest.approx(-0.010624, abs=1e-9)

    def test_sell_barred_keeps_holding(self):
        f = one_stock(["d0", "d1", "d2"], signal_matrix=[1.0, 0.0, 0.0],
                      prev_close=[10.0, 10.0, 10.5], buy_price=[10.0, 10.1, 10.0],
                      close_price=[10.0, 10.5, 10.8], sell_price=[10.0, 10.0, 10.4],
                      cant_sell_stock=[False, False, True])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6, lot_size=100)
        assert r.iloc[1] == pytest.approx(100_000 * (10.8 - 10.5) / 1e6, rel=1e-12)

    def test_lot_rounding_down(self):
        # 0.25 * 1e5 / (33 * 200) = 3.787 lots -> 3 lots = 600 shares
        f = one_stock(["d0", "d1"], signal_matrix=[0.25, 0.0], prev_close=[33.0, 33.0],
                      buy_price=[33.0, 33.0], close_price=[33.0, 34.0])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e5, fee=0.0)
        assert r.iloc[0] == pytest.approx(600 * 1.0 / 1e5, rel=1e-12)

    def test_blocked_buy_retried_next_day(self):
        f = one_stock(["d0", "d1", "d2"], signal_matrix=[0.1, 0.1, 0.0],
                      can_buy_stock=[True, False, True], close_price=[10.0, 11.0, 12.0])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6, fee=0.0)
        assert r.iloc[0] == 0.0  # nothing bought on d1
        assert r.iloc[1] == pytest.approx(10_000 * (12.0 - 10.0) / 1e6, rel=1e-12)

    @pytest.mark.parametrize("prev", [np.nan, 0.0, -1.0])
    def test_unusable_previous_close_gives_no_target(self, prev):
        f = one_stock(["d0", "d1"], signal_matrix=[0.5, 0.0], prev_close=[10.0, prev],
                      close_price=[10.0, 11.0])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6)
        assert r.iloc[0] == 0.0

    def test_split_values_carried_shares_and_keeps_count(self):
        # 1,000 shares carried into a 2-for-1 split: profit 1000 * (2 * close - prev_close);
        # the next day's target is recomputed from the new previous close.
        f = one_stock(["d0", "d1", "d2", "d3"], signal_matrix=[0.01, 0.01, 0.01, 0.0],
                      prev_close=[10.0, 10.0, 10.0, 5.2], close_price=[10.0, 10.0, 5.2, 5.2],
                      buy_price=[10.0, 10.0, 10.0, 5.2], split_factor=[np.nan, np.nan, 2.0, np.nan])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6, fee=0.0, rule_fee=0.0, lot_size=100)
        assert r.iloc[1] == pytest.approx(1000 * (2.0 * 5.2 - 10.0) / 1e6, rel=1e-12)
        # d3: target 10,000 / 5.2 -> 19 lots = 1,900 shares; 900 more bought at 5.2, no profit.
        assert r.iloc[2] == pytest.approx(0.0, abs=1e-15)

    def test_dividend_credited_on_held_and_sold_not_bought(self):
        f = one_stock(["d0", "d1", "d2"], signal_matrix=[0.01, 0.0, 0.0],
                      dividend_factor=[np.nan, 0.5, 0.3])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6, fee=0.0, rule_fee=0.0, lot_size=100)
        assert r.iloc[0] == 0.0  # bought on d1: no dividend
        assert r.iloc[1] == pytest.approx(1000 * 0.3 / 1e6, rel=1e-12)  # sold on d2: credited

    def test_infinite_coefficient_of_untraded_stock_adds_nothing(self):
        # An infinite coefficient becomes the largest finite double, so zero shares
        # times it is 0 (inf * 0 would be NaN and poison the day).
        f = one_stock(["d0", "d1"], signal_matrix=[0.0, 0.0], buy_price=[10.0, -np.inf],
                      close_price=[10.0, np.inf])
        r = pe.calc_strategy_vwap_daily_return(**f, total_money=1e6, lot_size=100)
        assert r.iloc[0] == 0.0


class TestAgainstNumpyReference:
    @pytest.mark.parametrize("seed,days,stocks", [(0, 60, 7), (1, 40, 130), (2, 3, 1), (3, 25, 64)])
    def test_random_inputs(self, seed, days, stocks):
        frames = random_market(days, stocks, seed=seed)
        kw = dict(total_money=3e6, fee=0.0003, rule_fee=0.001, lot_size=100)
        got = pe.calc_strategy_vwap_daily_return(**frames, **kw)
        want = vwap_daily_return_numpy(**frames, **kw)
        assert got.index.equals(want.index)
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, atol=1e-15, equal_nan=True)

    def test_column_major_and_row_major_frames_agree(self):
        frames = random_market(30, 150, seed=5)  # several blocks of stocks
        c_order = {k: pd.DataFrame(np.ascontiguousarray(v.to_numpy()), index=v.index, columns=v.columns)
                   for k, v in frames.items()}
        a = pe.calc_strategy_vwap_daily_return(**frames)
        b = pe.calc_strategy_vwap_daily_return(**c_order)
        np.testing.assert_allclose(a.to_numpy(), b.to_numpy(), rtol=1e-12, equal_nan=True)

    def test_misaligned_frames_are_reindexed_and_lacking_labels_raise(self):
        frames = random_market(20, 10, seed=7, special=False)
        # A market frame with its stocks in another order gives the same returns.
        reordered = frames["close_price"].reindex(columns=list(reversed(frames["close_price"].columns)))
        frames2 = dict(frames, close_price=reordered)
        got = pe.calc_strategy_vwap_daily_return(**frames2)
        want = vwap_daily_return_numpy(**frames)
        np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-12, equal_nan=True)
        # One lacking a stock would leave that stock silently unheld: an error instead.
        with pytest.raises(ValueError, match="'prev_close' lacks 1 stock code"):
            pe.calc_strategy_vwap_daily_return(**dict(frames, prev_close=frames["prev_close"].iloc[:, :-1]))

    def test_inputs_are_not_mutated(self):
        frames = random_market(15, 8, seed=9)
        before = {k: v.copy() for k, v in frames.items()}
        pe.calc_strategy_vwap_daily_return(**frames)
        for k in frames:
            pd.testing.assert_frame_equal(frames[k], before[k])


class TestShortAndBadInput:
    @pytest.mark.parametrize("days", [0, 1])
    def test_short_signal_returns_empty_without_building_arrays(self, days, monkeypatch):
        def fail(*a, **k):
            raise AssertionError("must not be called")

        monkeypatch.setattr(pe, "_build_market_arrays", fail)
        f = one_stock([f"d{i}" for i in range(days)])
        r = pe.calc_strategy_vwap_daily_return(**f)
        assert len(r) == 0 and r.dtype == np.float64

    def test_replaced_array_builder_is_used(self, monkeypatch):
        from tessary.backtest import _core

        calls = []

        def spy(*a):
            calls.append(a)
            return _core._build_market_arrays(*a)

        monkeypatch.setattr(pe, "_build_market_arrays", spy)
        f = one_stock(["d0", "d1", "d2"])
        pe.calc_strategy_vwap_daily_return(**f)
        (args,) = calls
        assert list(args[0]) == ["d1", "d2"] and list(args[1]) == ["000001"]
        assert [a is f[k] for a, k in zip(args[2:], MARKET_KEYS)] == [True] * 8

    @pytest.mark.parametrize(
        "key,value,exc,text",
        [
            ("close_arr", np.zeros((2, 2)), ValueError, "close_arr has shape (2, 2), expected (2, 1)"),
            ("split_arr", np.zeros(2), ValueError, "split_arr must be 2-dimensional"),
            ("can_buy_arr", np.ones((2, 1)), TypeError, "can_buy_arr must be a bool array"),
            ("buy_price_arr", np.ones((2, 1), dtype=np.int64), TypeError, "buy_price_arr must be a float64 array"),
            ("sell_price_arr", [[1.0], [1.0]], TypeError, "sell_price_arr must be a numpy float64 array"),
        ],
    )
    def test_bad_market_arrays_are_rejected(self, monkeypatch, key, value, exc, text):
        from tessary.backtest import _core

        def bad(*a):
            arrays = _core._build_market_arrays(*a)
            arrays[key] = value
            return arrays

        monkeypatch.setattr(pe, "_build_market_arrays", bad)
        with pytest.raises(exc, match=text.replace("(", r"\(").replace(")", r"\)")):
            pe.calc_strategy_vwap_daily_return(**one_stock(["d0", "d1", "d2"]))

    def test_missing_key_raises_key_error(self, monkeypatch):
        monkeypatch.setattr(pe, "_build_market_arrays", lambda *a: {})
        with pytest.raises(KeyError):
            pe.calc_strategy_vwap_daily_return(**one_stock(["d0", "d1"]))

    def test_duplicate_signal_dates_raise_pandas_error(self):
        f = one_stock(["d0", "d1", "d1"])
        with pytest.raises(ValueError, match="duplicate"):
            pe.calc_strategy_vwap_daily_return(**f)

    def test_non_numeric_signal_raises(self):
        f = one_stock(["d0", "d1"], signal_matrix=["a", "b"])
        with pytest.raises(ValueError):
            pe.calc_strategy_vwap_daily_return(**f)
