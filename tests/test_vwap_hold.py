"""The hold rule of the return engine and the records (``given=``): a worked three-stock
example, agreement with a plain Python version on random markets, the resize rule
to the bit when every date is given and nothing splits, and the checks of ``given``."""

import numpy as np
import pandas as pd
import pytest

from reference.hold import hold_returns
from reference.vwap import random_market
from tessary.backtest import _pnl_engine as pe
from tessary.backtest import _records
from tessary.backtest.records import TradeRecords

N = np.nan
DATES = ["20240102", "20240103", "20240104", "20240105", "20240108"]
CODES = ["600000", "600001", "600002"]


def worked_market():
    """Stocks A, B, C; weights 0.3 each given on d0 (traded on d1), carried on d1 and
    d2, and A 0.3, B 0, C 0.3 given on d3 (traded on d4). B cannot be bought on d1;
    C splits 2-for-1 on d2 with a dividend of 1.0 a share (the values of d0 are never
    read but the weights')."""
    rows = lambda *r: pd.DataFrame([[N, N, N], *r], index=DATES, columns=CODES)  # noqa: E731
    return dict(
        signal_matrix=pd.DataFrame([[0.3, 0.3, 0.3]] * 3 + [[0.3, 0.0, 0.3]] * 2, index=DATES, columns=CODES),
        can_buy_stock=rows([1, 0, 1], [1, 1, 1], [1, 1, 1], [1, 1, 1]).fillna(0).astype(bool),
        cant_sell_stock=rows([0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]).fillna(0).astype(bool),
        split_factor=rows([N, N, N], [N, N, 2.0], [N, N, N], [N, N, N]),
        dividend_factor=rows([N, N, N], [N, N, 1.0], [N, N, N], [N, N, N]),
        close_price=rows([11, 20, 52], [12, 21, 27], [12, 22, 27], [13, 23, 29]),
        prev_close=rows([10, 20, 50], [11, 20, 52], [12, 21, 27], [12, 22, 27]),
        buy_price=rows([10.5, 20, 50], [11, 20.5, 27], [12, 22, 27], [12, 22, 27]),
        sell_price=rows([10, 20, 50], [11, 20, 27], [12, 22, 27], [12.5, 22.5, 28]),
    )


WORKED = dict(total_money=1e6, fee=0.0, rule_fee=0.0, lot_size=100)
GIVEN = [True, False, False, True, False]


def test_worked_example_returns():
    # By hand (lots of 100, capital 1e6, no fees):
    # d1  A buys 30,000 at 10.5, close 11: 15,000; B refused; C buys 6,000 at 50, close 52: 12,000
    # d2  A held 30,000 (not re-sized at 11): 30,000; B tried again, buys 15,000 at 20.5, close 21:
    #     7,500; C splits: 12,000 shares held, target 12,000, nothing traded: 12,000 x (27 - 52/2)
    #     + dividend 12,000 x 1.0 / 2 = 18,000
    # d3  B 15,000 x (22 - 21) = 15,000
    # d4  A target 250 lots at 12: sells 5,000 at 12.5: 2,500, holds 25,000 x 1 = 25,000;
    #     B weight 0: sells 15,000 at 22.5 against 22: 7,500;
    #     C target floor(300,000 / 2,700) = 111 lots: sells 900 at 28 against 27: 900, holds 11,100 x 2
    m = worked_market()
    got = pe.calc_strategy_vwap_daily_return(**m, **WORKED, given=GIVEN)
    expected = np.array([27_000.0, 55_500.0, 15_000.0, 58_100.0]) / 1e6
    assert list(got.index) == DATES[1:]
    assert got.to_numpy().tobytes() == expected.tobytes()
    resize = pe.calc_strategy_vwap_daily_return(**m, **WORKED)
    assert resize.iloc[1] != got.iloc[1]  # the resize rule sells 2,800 A on d2


def test_worked_example_records():
    rec = TradeRecords(_records.calc_strategy_vwap_records(**worked_market(), **WORKED, given=GIVEN))
    trades = rec.trades.assign(date=rec.trades["date"].dt.strftime("%Y%m%d"))
    assert trades[["date", "code", "side", "shares", "price"]].values.tolist() == [
        ["20240103", "600000", "buy", 30_000.0, 10.5],
        ["20240103", "600002", "buy", 6_000.0, 50.0],
        ["20240104", "600001", "buy", 15_000.0, 20.5],
        ["20240108", "600000", "sell", 5_000.0, 12.5],
        ["20240108", "600001", "sell", 15_000.0, 22.5],
        ["20240108", "600002", "sell", 900.0, 28.0],
    ]
    assert trades["value"].tolist() == [315_000.0, 300_000.0, 307_500.0, 62_500.0, 337_500.0, 25_200.0]
    blocked = rec.blocked
    assert blocked[["code", "side", "shares", "reason"]].values.tolist() == [["600001", "buy", 15_000.0, "cannot buy"]]
    positions = rec.positions.assign(date=rec.positions["date"].dt.strftime("%Y%m%d"))
    assert positions[["date", "code", "shares"]].values.tolist() == [
        ["20240103", "600000", 30_000.0], ["20240103", "600002", 6_000.0],
        ["20240104", "600000", 30_000.0], ["20240104", "600001", 15_000.0], ["20240104", "600002", 12_000.0],
        ["20240105", "600000", 30_000.0], ["20240105", "600001", 15_000.0], ["20240105", "600002", 12_000.0],
        ["20240108", "600000", 25_000.0], ["20240108", "600002", 11_100.0],
    ]
    assert rec.pnl.groupby("date")["total"].sum().tolist() == [27_000.0, 55_500.0, 15_000.0, 58_100.0]
    assert rec.daily["daily_return"].tolist() == [0.027, 0.0555, 0.015, 0.0581]
    assert rec.daily["held"].tolist() == [2, 3, 3, 2]


def _lists(frame):
    return frame.to_numpy().tolist()


def _given_patterns(days):
    return {
        "first only": np.arange(days) == 0,
        "every fifth": np.arange(days) % 5 == 0,
        "random": np.random.default_rng(days).random(days) < 0.3,
        "none": np.zeros(days, bool),
    }


def _market(layout, finite=False):
    market = random_market(45, 70, seed=11, special=True)
    convert = np.asfortranarray if layout == "F" else np.ascontiguousarray
    if finite:  # infinite prices and weights as missing ones: every profit term finite
        market = {k: v.replace([np.inf, -np.inf], np.nan) for k, v in market.items()}
    return {k: pd.DataFrame(convert(v.to_numpy()), index=v.index, columns=v.columns) for k, v in market.items()}


SCALARS = dict(total_money=1e7, fee=0.0003, rule_fee=0.001, lot_size=100)


def _plain(market, given):
    plain = {k: _lists(market[v].iloc[1:]) for k, v in [
        ("prev_close", "prev_close"), ("close", "close_price"), ("buy_price", "buy_price"),
        ("sell_price", "sell_price"), ("split", "split_factor"), ("dividend", "dividend_factor"),
        ("can_buy", "can_buy_stock"), ("cant_sell", "cant_sell_stock")]}
    return hold_returns(_lists(market["signal_matrix"]), list(given), plain, total_money=1e7, fee=0.0003,
                        rule_fee=0.001, lot=100)


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("pattern", ["first only", "every fifth", "random", "none"])
def test_agrees_with_plain_python(pattern, layout):
    market = _market(layout)
    given = _given_patterns(45)[pattern]
    got = pe.calc_strategy_vwap_daily_return(**market, **SCALARS, given=given).to_numpy()
    expected, _ = _plain(market, given)
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)
    if pattern != "none":
        assert np.count_nonzero(got) > 20
    rec = TradeRecords(_records.calc_strategy_vwap_records(**market, **SCALARS, given=given))
    assert rec.daily["daily_return"].to_numpy().tobytes() == got.tobytes()


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("pattern", ["first only", "every fifth", "random"])
def test_records_follow(pattern, layout):
    # The profit terms add up to the returns; the positions are the plain version's holdings.
    market = _market(layout, finite=True)
    given = _given_patterns(45)[pattern]
    got = pe.calc_strategy_vwap_daily_return(**market, **SCALARS, given=given).to_numpy()
    rec = TradeRecords(_records.calc_strategy_vwap_records(**market, **SCALARS, given=given))
    by_day = rec.pnl.groupby(rec.pnl["date"].dt.strftime("%Y%m%d"))["total"].sum()
    np.testing.assert_allclose(by_day.reindex(market["signal_matrix"].index[1:], fill_value=0.0), got * 1e7,
                               rtol=1e-9, atol=1e-6)
    _, holdings = _plain(market, given)
    held = np.array(holdings)
    rows, cols = np.nonzero(held)
    assert rec.positions["shares"].tolist() == held[rows, cols].tolist()
    assert rec.positions["code"].tolist() == list(market["signal_matrix"].columns[cols])
    assert len(rec.trades) >= 20 and len(rec.blocked) >= 1 and len(rec.positions) > 500


def test_every_date_given_without_splits_is_resize():
    market = {k: v.replace([np.inf, -np.inf], np.nan) for k, v in random_market(40, 140, seed=5).items()}
    market["split_factor"] = market["split_factor"] * np.nan
    # The pipeline refuses a buy price of zero or less where buying is allowed.
    market["buy_price"] = market["buy_price"].where(market["buy_price"] > 0)
    every = np.ones(40, bool)
    resize = pe.calc_strategy_vwap_daily_return(**market)
    hold = pe.calc_strategy_vwap_daily_return(**market, given=every)
    assert hold.to_numpy().tobytes() == resize.to_numpy().tobytes()
    weights = market.pop("signal_matrix")
    a = pe.run_strategy_backtest_core(weights, **market, rolling_window=3, plot_image_kind=None)
    b = pe.run_strategy_backtest_core(weights, **market, rolling_window=3, plot_image_kind=None, given=every)
    assert a.daily_return.to_numpy().tobytes() == b.daily_return.to_numpy().tobytes()
    assert np.array(list(a.stats.values())).tobytes() == np.array(list(b.stats.values())).tobytes()


@pytest.mark.parametrize("function", [pe.calc_strategy_vwap_daily_return, _records.calc_strategy_vwap_records])
@pytest.mark.parametrize("given, error, text", [
    ([True, False], ValueError, "given must hold one boolean per date of the weights (5), not shape (2,)"),
    (np.ones((5, 1), bool), ValueError, "not shape (5, 1)"),
    ([1, 0, 0, 1, 0], TypeError, "given must be a 1-D sequence of booleans"),
    (["x"] * 5, TypeError, "given must be a 1-D sequence of booleans"),
])
def test_bad_given(function, given, error, text):
    with pytest.raises(error, match=None) as info:
        function(**worked_market(), given=given)
    assert text in str(info.value)
