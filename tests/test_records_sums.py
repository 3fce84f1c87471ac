"""Records on random markets: they add up to the engine's returns, they are the
records of a plain numpy version of the day loop, and every memory layout gives
the same records."""

import math

import numpy as np
import pandas as pd
import pytest

from reference.records import records_numpy
from tessary.backtest import _pnl_engine as pe
from tessary.backtest import _records
from tessary.backtest.records import compute_records

SCALARS = dict(total_money=1e7, fee=0.0003, rule_fee=0.001)


def random_market(seed, days=60, stocks=150, layout="F", codes=None):
    """A market with NaN prices, refused buys and sells, splits, dividends and weights
    that keep most positions for a while (so holdings, refusals and sells mix)."""
    rng = np.random.default_rng(seed)
    index = pd.Index(pd.bdate_range("2023-01-02", periods=days).strftime("%Y%m%d"))
    columns = pd.Index(codes if codes is not None else [f"{600000 + i:06d}" for i in range(stocks)])
    shape = (days, len(columns))
    keep = np.cumsum(rng.random(shape) < 0.15, axis=0) % 3 == 0
    weights = np.where(keep & (rng.random(shape) < 0.6), rng.uniform(0.001, 0.03, shape), 0.0)
    weights[rng.random(shape) < 0.02] = np.nan
    prev = rng.uniform(2, 60, shape)
    prev[rng.random(shape) < 0.01] = np.nan
    noisy = lambda s: prev * (1 + rng.normal(0, s, shape))  # noqa: E731
    close, buy, sell = noisy(0.03), noisy(0.01), noisy(0.01)
    for a in (close, buy, sell):
        a[rng.random(shape) < 0.01] = np.nan
    arrays = dict(
        strategy_matrix=weights,
        can_buy_stock=rng.random(shape) > 0.08,
        cant_sell_stock=rng.random(shape) < 0.08,
        split_factor=np.where(rng.random(shape) < 0.01, rng.choice([1.5, 2.0], shape), np.nan),
        dividend_factor=np.where(rng.random(shape) < 0.02, rng.uniform(0.05, 0.8, shape), np.nan),
        close_price=close, prev_close=prev, buy_price=buy, sell_price=sell,
    )
    order = "F" if layout == "F" else "C"
    return {k: pd.DataFrame(np.array(v, order=order), index=index, columns=columns, copy=False)
            for k, v in arrays.items()}


def engine_returns(market, rolling_window=0):
    if rolling_window:
        return pe.run_strategy_backtest_core(**market, rolling_window=rolling_window, plot_image_kind=None,
                                             **SCALARS).daily_return
    return pe.calc_strategy_vwap_daily_return(market["strategy_matrix"],
                                              *[market[k] for k in list(market)[1:]], **SCALARS)


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_records_add_up_to_the_engine_returns(seed, layout):
    market = random_market(seed, layout=layout)
    rec = compute_records(**market, **SCALARS)
    want = engine_returns(market).to_numpy()
    # The daily frame's returns are the engine's own sums.
    np.testing.assert_allclose(rec.daily["daily_return"].to_numpy(), want, rtol=1e-12, atol=0)
    # The pnl rows of each date add up to that date's return x capital.
    pnl = rec.pnl
    by_date = {d: math.fsum(g) for d, g in pnl.groupby("date", sort=True)["total"]}
    rebuilt = np.array([by_date.get(d, 0.0) for d in rec.dates])
    np.testing.assert_allclose(rebuilt, want * SCALARS["total_money"], rtol=1e-9, atol=1e-6)
    # Rebuilt from the five terms of the rows (exactly rounded sums), the daily
    # returns are the engine's to 1e-12.
    terms = ["buy", "hold", "hold_dividend", "sell", "sell_dividend"]
    exact = {d: math.fsum(g[terms].to_numpy().ravel()) for d, g in pnl.groupby("date", sort=True)}
    np.testing.assert_allclose([exact.get(d, 0.0) / SCALARS["total_money"] for d in rec.dates], want,
                               rtol=1e-12, atol=1e-15)


def test_smoothed_weights_give_the_pipeline_returns():
    market = random_market(7)
    rec = compute_records(**market, rolling_window=4, **SCALARS)
    np.testing.assert_allclose(rec.daily["daily_return"].to_numpy(), engine_returns(market, 4).to_numpy(),
                               rtol=1e-12, atol=0)


@pytest.mark.parametrize("layout", ["F", "C"])
def test_records_are_those_of_the_plain_day_loop(layout):
    market = random_market(11, days=45, stocks=140, layout=layout)
    raw = _records.calc_strategy_vwap_records(market["strategy_matrix"], *[market[k] for k in list(market)[1:]],
                                              **SCALARS)
    want = records_numpy(*market.values(), **SCALARS)
    for table in ("trades", "blocked", "positions", "pnl"):
        assert raw[table].keys() == want[table].keys(), table
        for column, expected in want[table].items():
            np.testing.assert_array_equal(raw[table][column], expected, err_msg=f"{table}.{column}")
    for column in ("bought_value", "sold_value", "commission", "levy", "held"):
        np.testing.assert_allclose(raw["daily"][column], want["daily"][column], rtol=1e-12, err_msg=column)


def test_layouts_and_column_order_give_the_same_records():
    base = random_market(5, days=50, stocks=130, layout="F")
    row_major = {k: pd.DataFrame(np.ascontiguousarray(v.to_numpy()), index=v.index, columns=v.columns, copy=False)
                 for k, v in base.items()}
    mixed = dict(base, close_price=row_major["close_price"], strategy_matrix=row_major["strategy_matrix"])
    # Reversed columns: records still come sorted by code.
    reversed_cols = {k: v[v.columns[::-1]] for k, v in base.items()}
    frames = [compute_records(**m, **SCALARS) for m in (base, row_major, mixed, reversed_cols)]
    for name in ("trades", "blocked", "positions", "pnl", "daily"):
        for k, other in enumerate(frames[1:], 1):
            # Daily totals add the stocks in column order: reversed columns change
            # the last bits, nothing else.
            exact = not (name == "daily" and k == 3)
            pd.testing.assert_frame_equal(frames[0].frames()[name], other.frames()[name], check_exact=exact,
                                          rtol=1e-12)


def test_daily_totals_are_the_sums_of_the_trades():
    rec = compute_records(**random_market(13), **SCALARS)
    trades = rec.trades
    side_sum = trades.pivot_table(index="date", columns="side", values="value", aggfunc="sum").reindex(rec.dates)
    np.testing.assert_allclose(rec.daily["bought_value"], side_sum["buy"].fillna(0.0), rtol=1e-12)
    np.testing.assert_allclose(rec.daily["sold_value"], side_sum["sell"].fillna(0.0), rtol=1e-12)
    fees = trades.groupby("date")[["commission", "levy"]].sum().reindex(rec.dates, fill_value=0.0)
    np.testing.assert_allclose(rec.daily[["commission", "levy"]].to_numpy(), fees.to_numpy(), rtol=1e-12)
    held = rec.positions.groupby("date").size().reindex(rec.dates, fill_value=0)
    assert rec.daily["held"].tolist() == held.tolist()
    # What is held changes by exactly what is traded (share counts are whole lots).
    signed = trades["shares"].where(trades["side"] == "buy", -trades["shares"])
    flows = signed.groupby([trades["date"], trades["code"]]).sum().unstack(fill_value=0.0)
    holdings = rec.positions.set_index(["date", "code"])["shares"].unstack(fill_value=0.0)
    codes = flows.columns.union(holdings.columns)
    flows = flows.reindex(index=rec.dates, columns=codes, fill_value=0.0)
    holdings = holdings.reindex(index=rec.dates, columns=codes, fill_value=0.0)
    np.testing.assert_array_equal(holdings.diff().to_numpy()[1:], flows.to_numpy()[1:])
    np.testing.assert_array_equal(holdings.to_numpy()[0], flows.to_numpy()[0])
