"""Derivation of the backtest matrices and the forward-return rank."""

import numpy as np
import pandas as pd
import pytest

from reference.rank import forward_return_rank
from tessary.backtest import _prepare as prep

DATES = ["20240102", "20240103", "20240104"]


def frame(values, dates=DATES, codes=("000001", "600000")):
    return pd.DataFrame(values, index=list(dates), columns=list(codes), dtype=float)


def source(**overrides):
    close = frame([[10.0, 20.0], [np.nan, 21.0], [11.0, 22.0]])
    src = {
        "rq_industry_exposure_new": frame([[1, 2]] * 3),
        "limit_down": close * 0.9,
        "limit_up": close * 1.1,
        "Close": close,
        "Open": frame([[10.0, 20.0], [11.0, 20.0], [12.1, 20.0]]),
        "tick_vwap_price_935_1005": close,
        "tick_vwap_price_925_1000": close,
        "split_coefficient_to": frame([[15.0, np.nan]] * 3),
        "rq_get_dividend": frame([[2.0, np.nan]] * 3),
        "rq_is_suspended": frame([[1.0, 1.0]] * 3),
    }
    src.update(overrides)
    return src


@pytest.fixture
def builder():
    return prep.GroupPreparedDataBuilder("20240101", "20240131")


def test_keys_pass_through_prices_and_adjustments(builder):
    src = source()
    out = builder._build_from_matrices(src)
    assert list(out) == list(prep.BASE_MATRIX_DTYPE)
    assert out["industry_matrix"] is src["rq_industry_exposure_new"] and out["close_price"] is src["Close"]
    assert out["close_price_valid"].loc["20240102", "000001"] == 1.0
    assert np.isnan(out["close_price_valid"].loc["20240103", "000001"])
    assert out["prev_close"].loc["20240103", "000001"] == 10.0 and out["prev_close"].iloc[0].isna().all()
    assert out["rq_get_split"].loc["20240102", "000001"] == 1.5
    assert out["rq_get_dividend"].loc["20240102", "000001"] == pytest.approx(0.18)
    assert np.isnan(out["rq_get_split"].loc["20240103", "000001"])
    assert np.isnan(out["rq_get_dividend"].loc["20240103", "000001"])


def test_split_and_dividend_row_cuts(builder):
    wide_dates = ["20231229"] + DATES + ["20240105"]
    out = builder._build_from_matrices(source(split_coefficient_to=frame([[10.0, 10.0]] * 5, dates=wide_dates),
                                              rq_get_dividend=frame([[1.0, 1.0]] * 5, dates=wide_dates)))
    assert list(out["rq_get_split"].index) == DATES + ["20240105"]  # rows before the first close cut
    assert list(out["rq_get_dividend"].index) == ["20231229"] + DATES  # rows after the last close cut
    assert out["rq_get_split"].loc["20240105"].isna().all()


def test_suspension_and_limit_consequences(builder):
    close = frame([[10.0, 10.0], [10.0, 10.0], [10.0, 10.0]])
    buy = frame([[11.0, 10.5], [11.0, 10.5], [11.0, 10.5]])   # column 000001 at limit-up
    sell = frame([[9.0, 9.5], [9.0, 9.5], [9.0, 9.5]])        # column 000001 at limit-down
    suspended = frame([[1.0, 1.0], [0.0, 0.0], [np.nan, np.nan]])
    out = builder._build_from_matrices(source(Close=close, limit_up=close * 1.1, limit_down=close * 0.9,
                                              tick_vwap_price_935_1005=buy, tick_vwap_price_925_1000=sell,
                                              rq_is_suspended=suspended))
    can_buy, cant_sell = out["can_buy_stock"], out["cant_sell_stock"]
    assert can_buy.dtypes.eq(bool).all() and cant_sell.dtypes.eq(bool).all()
    # value 1: only the limit test counts
    assert list(can_buy.loc["20240102"]) == [False, True]
    assert list(cant_sell.loc["20240102"]) == [True, False]
    # value 0 or NaN: never buyable, never sellable
    for day in ("20240103", "20240104"):
        assert not can_buy.loc[day].any() and cant_sell.loc[day].all()


def test_cells_outside_the_suspension_grid(builder):
    close = frame([[10.0, 10.0]] * 3)
    suspended = frame([[0.0, 1.0]] * 3, codes=("600000", "688001"))
    out = builder._build_from_matrices(source(Close=close, limit_up=close * 1.1, limit_down=close * 0.9,
                                              tick_vwap_price_935_1005=close, tick_vwap_price_925_1000=close,
                                              rq_is_suspended=suspended))
    assert list(out["can_buy_stock"].columns) == ["000001", "600000", "688001"]
    day = "20240102"
    assert out["can_buy_stock"].loc[day, "000001"] and not out["cant_sell_stock"].loc[day, "000001"]
    assert not out["can_buy_stock"].loc[day, "688001"] and not out["cant_sell_stock"].loc[day, "688001"]


def test_forward_return_rank(builder):
    opens = frame([[10, 5, 7, np.nan], [10, 5, 4, 3], [20, 10, 8, 3], [1, 1, 1, 1]],
                  dates=DATES + ["20240105"], codes=("a", "b", "c", "d"))
    rank = builder._build_from_matrices(source(Open=opens))["forward_return_rank_cache"]
    # first day: returns 1, 1, 1, 0 -> the three ties share the mean of ranks 2, 3, 4
    assert list(rank.iloc[0]) == [3.0, 3.0, 3.0, 1.0]
    assert list(rank.iloc[1]) == [1.0, 2.0, 3.0, 4.0]
    assert rank.iloc[2:].isna().all().all()
    zero = frame([[1.0, 1.0], [0.0, 1.0], [1.0, 2.0]])  # 1/0 is inf, dropped from the ranks
    rank = builder._build_from_matrices(source(Open=zero))["forward_return_rank_cache"]
    assert np.isnan(rank.iloc[0, 0]) and rank.iloc[0, 1] == 1.0


@pytest.mark.parametrize("seed", [0, 1])
def test_forward_return_rank_matches_pandas(builder, seed):
    rng = np.random.default_rng(seed)
    values = rng.integers(1, 6, (40, 30)).astype(float)  # many ties
    values[rng.random(values.shape) < 0.2] = np.nan
    values[rng.random(values.shape) < 0.05] = 0.0  # infinite returns
    values[rng.random(values.shape) < 0.02] = -np.inf
    values[rng.random(values.shape) < 0.02] = np.inf
    opens = pd.DataFrame(values, index=[f"2024{i:04d}" for i in range(40)], columns=[f"{i:06d}" for i in range(30)])
    expected = forward_return_rank(opens)
    for layout in (opens, pd.DataFrame(np.asfortranarray(values), index=opens.index, columns=opens.columns)):
        got = builder._build_from_matrices(source(Open=layout))["forward_return_rank_cache"]
        pd.testing.assert_frame_equal(got, expected)


def test_source_errors(builder):
    src = source()
    del src["rq_is_suspended"]
    with pytest.raises(KeyError, match="rq_is_suspended"):
        builder._build_from_matrices(src)
    with pytest.raises(TypeError, match="expected dict, got list"):
        builder._build_from_matrices([])
