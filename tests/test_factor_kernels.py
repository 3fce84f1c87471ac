"""The factor kernels against the plain references of tests/reference/factor.py."""

import math

import numpy as np
import pandas as pd
import pytest

from reference import factor as ref
from tessary.factor import _factor_kernels as k


def _random(rows=40, cols=60, seed=0, ties=False, nan=0.15):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, cols))
    if ties:
        x = np.round(x * 2) / 2  # many equal values
    x[rng.random(x.shape) < nan] = np.nan
    return x


@pytest.mark.parametrize("ties", [False, True])
def test_orders_ranks_and_groups_match_the_reference(ties):
    x = _random(ties=ties)
    x[3] = np.nan  # an empty row
    x[4, :] = 1.0  # a constant row
    mask = np.ones(x.shape, dtype=bool)
    order, count = k.row_orders(x)
    ranks = k.masked_ranks(x, order, count, mask)
    expected = pd.DataFrame(x).rank(axis=1, method="average").to_numpy()
    np.testing.assert_array_equal(ranks, expected)
    for groups in (2, 5, 7):
        labels = k.ordinal_groups(x, order, count, mask, groups)
        np.testing.assert_array_equal(labels, ref.ordinal_groups(pd.DataFrame(x), groups).to_numpy())


def test_signed_zeros_infinities_and_masks_order_as_values():
    x = np.array([[0.0, -0.0, -np.inf, np.inf, 1e-300, -1e-300, np.nan, 5.0]])
    order, count = k.row_orders(x)
    assert count[0] == 7
    assert list(order[0, :7]) == [2, 5, 0, 1, 4, 7, 3]  # the two zeros tie, in column order
    mask = np.array([[True] * 4 + [False] * 4])
    np.testing.assert_array_equal(k.masked_ranks(x, order, count, mask)[0, :4], [2.5, 2.5, 1.0, 4.0])


@pytest.mark.parametrize("ties", [False, True])
def test_rank_correlation_ranks_each_side_within_the_common_stocks(ties):
    x, y = _random(seed=1, ties=ties), _random(seed=2, ties=ties, nan=0.3)
    y[5, :] = 2.0  # a constant side: NaN
    mask = _random(seed=3, nan=0.2) == _random(seed=3, nan=0.2)  # NaN cells are False
    xo, xc = k.row_orders(x)
    yo, yc = k.row_orders(y)
    rows = np.arange(len(x), dtype=np.int64)
    shifted = rows[::-1].copy()  # each x row against another y row
    shifted[0] = -1
    got = k.rank_corr(x, xo, xc, rows, y, yo, yc, shifted, mask, 5)
    # the factor's ranks given beforehand (reused on rows where every stock has a y) change nothing
    given = k.rank_corr(x, xo, xc, rows, y, yo, yc, shifted, mask, 5, k.masked_ranks(x, xo, xc, mask))
    np.testing.assert_array_equal(given, got)
    for t in range(len(x)):
        if shifted[t] < 0:
            assert math.isnan(got[t])
            continue
        xs = pd.Series(np.where(mask[t], x[t], np.nan))
        expected = ref.rank_corr(xs, pd.Series(y[shifted[t]]))
        if math.isnan(expected):
            assert math.isnan(got[t])
        else:
            assert got[t] == pytest.approx(expected, abs=1e-13)


def test_rank_correlation_needs_five_stocks():
    x = np.array([[1.0, 2.0, 3.0, 4.0, np.nan], [1.0, 2.0, 3.0, 4.0, 5.0]])
    xo, xc = k.row_orders(x)
    rows = np.arange(2, dtype=np.int64)
    got = k.rank_corr(x, xo, xc, rows, x, xo, xc, rows, np.ones(x.shape, dtype=bool), 5)
    assert math.isnan(got[0]) and got[1] == pytest.approx(1.0)


def test_group_means_turnover_and_demeaning_match_the_reference():
    values = _random(seed=4)
    labels = ref.ordinal_groups(pd.DataFrame(_random(seed=5)), 4)
    rows = np.arange(len(values), dtype=np.int64)
    got = k.group_means(values, rows, np.ascontiguousarray(labels.to_numpy(dtype=np.int32)), 4)
    expected = ref.group_means(pd.DataFrame(values), labels, 4).to_numpy()
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-14)
    got = k.group_turnover(np.ascontiguousarray(labels.to_numpy(dtype=np.int32)), 4)
    np.testing.assert_allclose(got, ref.turnover(labels, 4).to_numpy(), rtol=0, atol=0)
    industry = np.random.default_rng(6).integers(0, 4, values.shape).astype(np.int32)  # 0: none
    got = k.demean(values, industry, 3)
    expected = ref.neutralize(pd.DataFrame(values), pd.DataFrame(np.where(industry > 0, industry, np.nan)))
    np.testing.assert_allclose(got, expected.to_numpy(), rtol=0, atol=1e-14)


def test_forward_returns_across_a_split_and_a_dividend():
    opens = pd.DataFrame({"a": [10.0, 11.0, 5.6, 5.5, 6.0], "b": [20.0, 0.0, 21.0, 22.0, np.nan]})
    split = pd.DataFrame({"a": [np.nan, np.nan, 2.0, np.nan, np.nan], "b": [np.nan] * 5})
    dividend = pd.DataFrame({"a": [np.nan, np.nan, np.nan, 0.3, np.nan], "b": [np.nan] * 5})
    r1 = k.one_day_returns(*(np.ascontiguousarray(f.to_numpy()) for f in (opens, split, dividend)))
    assert r1[1, 0] == pytest.approx(5.6 * 2.0 / 11.0 - 1)  # the split doubles the shares
    assert r1[2, 0] == pytest.approx((5.5 + 0.3) / 5.6 - 1)  # the dividend is cash per share
    assert np.isnan(r1[0, 1]) and np.isnan(r1[1, 1]) and np.isnan(r1[3, 1]) and np.isnan(r1[4]).all()
    for h in (1, 2, 3):
        expected = ref.forward_returns(opens, split, dividend, h).to_numpy()
        np.testing.assert_array_equal(k.compound(r1, h), expected)


def _label_market(days=80, stocks=150, seed=7):
    rng = np.random.default_rng(seed)
    price = lambda: np.ascontiguousarray(rng.uniform(5, 50, (days, stocks)))  # noqa: E731
    market = [price(), price(), price(), price(),
              np.where(rng.random((days, stocks)) < 0.02, 1.5, np.nan),
              np.where(rng.random((days, stocks)) < 0.02, 0.2, np.nan),
              rng.random((days, stocks)) > 0.1, rng.random((days, stocks)) < 0.2]
    market[0][rng.random((days, stocks)) < 0.02] = np.nan  # a missing previous close: no target
    return rng, market


@pytest.mark.parametrize("groups", [3, 70])  # 70: more than the bit sets hold
def test_label_pass_is_the_engine_per_portfolio_at_every_width(groups):
    from tessary.backtest._pnl_engine import calc_strategy_vwap_daily_return

    rng, market = _label_market()
    days, stocks = market[0].shape
    rows = 30
    labels = rng.integers(0, groups + 1, (rows, stocks)).astype(np.int32)
    labels[1::2] = labels[::2]  # groups that persist, and stocks that move between them
    weight = np.ascontiguousarray(rng.uniform(0.001, 0.02, (rows, groups)))
    row_of_day = np.minimum(np.arange(days) // 3, rows - 1).astype(np.int64)
    row_of_day[:2] = -1
    cash = {lanes: k.label_pass(labels, weight, row_of_day, *market, 1e7, 2e-4, 1e-3, 100.0, lanes)
            for lanes in (1, 4, 8)}
    for lanes in (4, 8):
        np.testing.assert_array_equal(cash[lanes], cash[1])
    index = pd.Index([f"2020{i:04d}" for i in range(days + 1)])
    frame = lambda a: pd.DataFrame(np.vstack([a[:1], a]), index=index)  # noqa: E731
    names = ["prev_close", "close_price", "buy_price", "sell_price", "split_factor", "dividend_factor",
             "can_buy_stock", "cant_sell_stock"]
    frames = {name: frame(a) for name, a in zip(names, market)}
    for g in (1, groups):
        held = row_of_day >= 0
        w = np.where(held[:, None] & (labels[np.maximum(row_of_day, 0)] == g),
                     weight[np.maximum(row_of_day, 0), g - 1][:, None], np.nan)
        signal = pd.DataFrame(np.vstack([w, w[-1:]]), index=index)  # row i + 1 trades row i's weights
        engine = calc_strategy_vwap_daily_return(signal, **frames, total_money=1e7, fee=2e-4, rule_fee=1e-3,
                                                 lot_size=100)
        np.testing.assert_allclose(cash[1][g - 1] / 1e7, engine.to_numpy(), rtol=0, atol=1e-12)


def test_rows_shared_out_between_threads_equal_rows_computed_alone():
    """A matrix large enough to be split between threads gives, row by row, what each
    row gives on its own (one thread): orders, ranks, groups and rank correlations."""
    x, y = _random(rows=640, cols=4000, seed=7, ties=True), _random(rows=640, cols=4000, seed=8)
    mask = _random(rows=640, cols=4000, seed=9, nan=0.1) == _random(rows=640, cols=4000, seed=9, nan=0.1)
    rows = np.arange(640, dtype=np.int64)
    xo, xc = k.row_orders(x)
    yo, yc = k.row_orders(y)
    ranks = k.masked_ranks(x, xo, xc, mask)
    labels = k.ordinal_groups(x, xo, xc, mask, 5)
    corr = k.rank_corr(x, xo, xc, rows, y, yo, yc, rows[::-1].copy(), mask, 5)
    for t in (0, 1, 319, 320, 321, 639):
        one = slice(t, t + 1)
        o, c = k.row_orders(x[one])
        np.testing.assert_array_equal(o, xo[one])
        np.testing.assert_array_equal(k.masked_ranks(x[one], o, c, mask[one]), ranks[one])
        np.testing.assert_array_equal(k.ordinal_groups(x[one], o, c, mask[one], 5), labels[one])
        yo1, yc1 = k.row_orders(y[639 - t: 640 - t])
        alone = k.rank_corr(x[one], o, c, np.zeros(1, np.int64), y[639 - t: 640 - t], yo1, yc1, np.zeros(1, np.int64),
                            mask[one], 5)
        np.testing.assert_array_equal(alone, corr[one])


def test_a_thread_limited_to_itself_gives_the_same_rows():
    """set_row_threads(1) keeps the kernels of the calling thread on it, with the same
    results, and leaves other threads as they were."""
    import threading

    x = _random(rows=640, cols=4000, seed=11, ties=True)
    shared = k.row_orders(x)
    seen = {}

    def alone():
        k.set_row_threads(1)
        seen["alone"] = k.row_orders(x)

    worker = threading.Thread(target=alone)
    worker.start()
    worker.join()
    for got, expected in zip(seen["alone"], shared):
        np.testing.assert_array_equal(got, expected)
    for got, expected in zip(k.row_orders(x), shared):
        np.testing.assert_array_equal(got, expected)
