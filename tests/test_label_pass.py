"""The label pass (every factor group an equal-weight portfolio, all groups in one pass):
each group's daily profit is the engine's single portfolio run on that group's own
weight matrix, to the bit, at every vector width, in every market layout, with stocks
that move between groups while their sale is refused (two or three groups holding one
stock at once), labels and weights that name no target, and any capital, fees and lot."""

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _pnl_engine
from tessary.factor import _factor_kernels as k

NAMES = ["prev_close", "close_price", "buy_price", "sell_price", "split_factor", "dividend_factor",
         "can_buy_stock", "cant_sell_stock"]
LANES = [lanes for name, lanes in (("scalar", 1), ("avx2", 4), ("avx512", 8)) if name in _pnl_engine._SIMD_AVAILABLE]


def _market(rng, days, stocks):
    """Market rows in the pass's argument order: suspensions (NaN prices), zero prices,
    splits both ways, dividends, limit days on both sides; stock 0 cannot be sold for
    a stretch of days while the labels below move it from group to group."""
    price = lambda: rng.uniform(5, 50, (days, stocks))  # noqa: E731
    rows = [price(), price(), price(), price(),
            np.where(rng.random((days, stocks)) < 0.04, rng.choice([2.0, 0.5], (days, stocks)), np.nan),
            np.where(rng.random((days, stocks)) < 0.04, 0.3, np.nan),
            rng.random((days, stocks)) > 0.15, rng.random((days, stocks)) < 0.2]
    for a in rows[:4]:
        a[rng.random((days, stocks)) < 0.03] = np.nan
        a[rng.random((days, stocks)) < 0.005] = 0.0
    rows[7][5:16, 0] = True
    return rows


def _labels(rng, rows, stocks, groups):
    """Labels 1..groups with some that name no group (0, -1, groups + 1); rows that
    repeat (stocks stay) and stock 0 cycling through the groups."""
    labels = rng.integers(-1, groups + 2, (rows, stocks)).astype(np.int32)
    labels[1::3] = labels[::3][: len(labels[1::3])]
    labels[:, 0] = np.arange(rows) % groups + 1
    weight = rng.uniform(0.002, 0.03, (rows, groups))
    weight[rng.random(weight.shape) < 0.05] = np.nan  # no target for the group that row
    weight[rng.random(weight.shape) < 0.05] = -0.01
    return labels, np.ascontiguousarray(weight)


def _layout(a, how):
    if how == "row":
        return np.ascontiguousarray(a)
    if how == "column":
        return np.asfortranarray(a)
    wide = np.repeat(a, 2, axis=1)  # every other column of a wider matrix
    return wide[:, ::2]


CASES = [  # groups, stocks, layout, rebalance, (total_money, fee, rule_fee, lot)
    (1, 150, "row", 1, (1e7, 2e-4, 1e-3, 100.0)),
    (3, 150, "row", 3, (1e8, 1e-4, 5e-4, 200.0)),
    (5, 150, "row", 1, (3e6, 0.0, 0.0, 100.0)),
    (5, 64, "row", 2, (-1e6, 3e-4, 1e-3, 100.0)),  # targets that can be negative: the scalar step only
    (20, 131, "row", 1, (1e7, 2e-4, 1e-3, 100.0)),
    (5, 7, "row", 1, (1e7, 2e-4, 1e-3, 100.0)),  # fewer stocks than a vector
    (5, 150, "column", 1, (1e7, 2e-4, 1e-3, 100.0)),
    (5, 150, "strided", 2, (1e7, 2e-4, 1e-3, 100.0)),
]


@pytest.mark.parametrize("groups, stocks, layout, rebalance, rates", CASES)
def test_each_group_is_the_engines_portfolio_to_the_bit_at_every_width(groups, stocks, layout, rebalance, rates):
    rng = np.random.default_rng(groups * 1000 + stocks)
    days = 60
    market = [_layout(a, layout) for a in _market(rng, days, stocks)]
    rows = days // rebalance + 1
    labels, weight = _labels(rng, rows, stocks, groups)
    row_of_day = (np.arange(days) // rebalance).astype(np.int64)
    row_of_day[[0, 1, 30]] = -1  # no weights at all: every holding sold
    cash = {lanes: k.label_pass(labels, weight, row_of_day, *market, *rates, lanes) for lanes in LANES}
    for lanes in LANES:
        assert cash[lanes].tobytes() == cash[1].tobytes(), lanes
    index = pd.Index([f"2022{i:04d}" for i in range(days + 1)])
    frames = {n: pd.DataFrame(np.vstack([a[:1], a]), index=index) for n, a in zip(NAMES, market)}
    at = np.maximum(row_of_day, 0)
    money, fee, rule_fee, lot = rates
    for g in range(1, groups + 1):
        w = np.where((row_of_day >= 0)[:, None] & (labels[at] == g), weight[at, g - 1][:, None], 0.0)
        signal = pd.DataFrame(np.vstack([w, w[-1:]]), index=index)  # row i + 1 trades row i's weights
        engine = _pnl_engine.calc_strategy_vwap_daily_return(signal, **frames, total_money=money, fee=fee,
                                                             rule_fee=rule_fee, lot_size=lot)
        assert (cash[1][g - 1] / money).tobytes() == engine.to_numpy().tobytes(), g


def test_a_stock_held_by_three_groups_while_it_cannot_be_sold():
    """Stock 0 moves 1 -> 2 -> 3 while its sale is refused: groups 1 and 2 keep their
    shares and earn its returns until the sale goes through, group 3 buys it."""
    days, stocks = 6, 9
    market = [np.full((days, stocks), 10.0) for _ in range(4)] + [np.full((days, stocks), np.nan)] * 2 + [
        np.ones((days, stocks), bool), np.zeros((days, stocks), bool)]
    market[1] = np.full((days, stocks), 11.0)  # every held share earns 1 a day
    market[7] = market[7].copy()
    market[7][1:4, 0] = True  # no sale of stock 0 on days 1..3
    labels = np.array([[1] + [0] * 8, [2] + [0] * 8, [3] + [0] * 8], np.int32)
    weight = np.full((3, 3), 0.01)
    row_of_day = np.array([0, 1, 2, 2, 2, 2], np.int64)
    cash = {lanes: k.label_pass(labels, weight, row_of_day, *market, 1e6, 0.0, 0.0, 100.0, lanes)
            for lanes in LANES}
    for lanes in LANES:
        np.testing.assert_array_equal(cash[lanes], cash[1])
    shares = 1000.0  # 1e6 x 0.01 / 10, in whole lots of 100
    buy = shares * (11.0 - 10.0)  # bought at 10, closed at 11
    np.testing.assert_array_equal(cash[1][0], [buy, shares, shares, shares, 0.0, 0.0])  # sold on day 4
    np.testing.assert_array_equal(cash[1][1], [0.0, buy, shares, shares, 0.0, 0.0])
    np.testing.assert_array_equal(cash[1][2], [0.0, 0.0, buy, shares, shares, shares])
