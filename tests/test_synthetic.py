"""The synthetic market: determinism and the data-service conventions the builder relies on."""

import numpy as np
import pandas as pd
import pytest

from tessary.synthetic import COMPONENT_INDEX_BANDS, generate_market, trading_calendar


@pytest.fixture(scope="module")
def market():
    return generate_market(n_stocks=60, years=1.5, seed=7)


def test_same_seed_same_market_other_seed_other_market(market):
    again = generate_market(n_stocks=60, years=1.5, seed=7)
    assert again.codes == market.codes
    for name, frame in market.factors.items():
        pd.testing.assert_frame_equal(again.factors[name], frame)
    pd.testing.assert_frame_equal(again.index_daily, market.index_daily)
    other = generate_market(n_stocks=60, years=1.5, seed=8)
    assert not other.factors["Close"].equals(market.factors["Close"])


def test_calendar_has_no_weekends_or_national_day():
    days = trading_calendar("2021-01-01", 1)
    assert days.is_monotonic_increasing and (days.day_of_week < 5).all()
    assert not ((days.month == 10) & (days.day <= 7)).any()
    assert 235 <= len(days) <= 250


def test_codes_of_both_exchanges_with_their_suffixes(market):
    codes = market.codes
    assert len({code[:6] for code in codes}) == len(codes) == 60
    for code in codes:
        assert code.endswith(".XSHG" if code.startswith("6") else ".XSHE")
    assert {code[:3] for code in codes} >= {"600", "688", "300"}
    assert any(code.startswith("00") for code in codes)


def test_prices_respect_the_limits_and_some_days_reach_them(market):
    f = market.factors
    close, up, down = f["Close"], f["limit_up"], f["limit_down"]
    prev = close.shift(1)
    wide = np.array([code.startswith(("300", "688")) for code in market.codes])
    # On a plain trading day (no corporate action) the limits are the previous close +-10 % / 20 %.
    plain = (f["rq_is_suspended"] == 1) & f["split_coefficient_to"].isna() & f["rq_get_dividend"].isna() & prev.notna()
    pct = np.where(wide, 0.2, 0.1)
    expected_up = np.round(prev * (1 + pct), 2)
    assert np.allclose(up[plain].stack().dropna(), expected_up[plain].stack().dropna())
    for name in ("Close", "Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"):
        price, has = f[name].to_numpy(), f[name].notna().to_numpy()
        assert (price[has] <= up.to_numpy()[has] + 1e-9).all() and (price[has] >= down.to_numpy()[has] - 1e-9).all(), name
    assert (close == up).sum().sum() > 0 and (close == down).sum().sum() > 0
    # Sealed days: the buy window price equals the limit-up price (not buyable), the
    # sell window price the limit-down price (not sellable).
    assert (f["tick_vwap_price_935_1005"] == up).sum().sum() > 0
    assert (f["tick_vwap_price_925_1000"] == down).sum().sum() > 0


def test_suspension_convention_one_means_trading(market):
    f = market.factors
    status = f["rq_is_suspended"]
    assert set(np.unique(status.stack().dropna())) == {0.0, 1.0}
    suspended = status == 0
    assert suspended.sum().sum() > 0
    # a suspended day keeps the previous close and has no open or window prices
    assert np.allclose(f["Close"][suspended].stack().dropna(), f["Close"].shift(1)[suspended].stack().dropna())
    for name in ("Open", "tick_vwap_price_935_1005", "tick_vwap_price_925_1000"):
        assert f[name][suspended].isna().all().all()
    # a stock has a status exactly on the days it has a close (listed days)
    assert (status.notna() == f["Close"].notna()).all().all()


def test_corporate_actions_are_consistent_with_the_reference_price(market):
    f = market.factors
    split, dividend = f["split_coefficient_to"], f["rq_get_dividend"]
    assert split.notna().sum().sum() > 0 and dividend.notna().sum().sum() > 0
    assert (split.stack().dropna() > 10).all() and (dividend.stack().dropna() > 0).all()
    prev = f["Close"].shift(1)
    event = split.notna() | dividend.notna()
    # reference = (previous close - cash per share) / share multiplier; the limits follow it
    ref = np.round((prev - dividend.fillna(0) / 10) / (split.fillna(10) / 10), 2)
    wide = np.array([code.startswith(("300", "688")) for code in market.codes])
    expected_up = np.round(ref * (1 + np.where(wide, 0.2, 0.1)), 2)
    assert np.allclose(f["limit_up"][event].stack().dropna(), expected_up[event].stack().dropna())


def test_index_membership_changes_and_benchmarks(market):
    n = len(market.codes)
    for name in COMPONENT_INDEX_BANDS:
        mask = market.factors[name]
        assert set(np.unique(mask.stack().dropna())) == {1.0}
        assert mask.notna().any(axis=1).all()
    csi300 = market.factors["rq_index_components_new_000300.XSHG"].notna()
    assert (csi300.iloc[0] != csi300.iloc[-1]).any()  # members changed at a review
    assert csi300.sum(axis=1).max() <= round(0.06 * n) + 1
    bars = market.index_daily
    assert list(bars.columns) == ["ukey", "date", "close", "daily_return"]
    assert sorted(bars["ukey"].unique()) == ["000300.XSHG", "000852.XSHG", "000905.XSHG"]
    for _, one in bars.groupby("ukey"):
        assert len(one) == len(market.dates) and np.isfinite(one["daily_return"]).all()
        ratio = one["close"].to_numpy()[1:] / one["close"].to_numpy()[:-1] - 1
        assert np.allclose(ratio, one["daily_return"].to_numpy()[1:], atol=1e-6)


def test_bad_sizes_are_rejected():
    with pytest.raises(ValueError, match="n_stocks"):
        generate_market(n_stocks=3)
    with pytest.raises(ValueError, match="years"):
        generate_market(years=0)


def test_a_market_of_real_size_lists_and_delists_over_time():
    market = generate_market(n_stocks=5600, years=1, seed=2)
    codes = market.codes
    assert len(codes) == len({code[:6] for code in codes}) == 5600
    status = market.factors["rq_is_suspended"].notna().to_numpy()
    n_days = len(market.dates)
    first = status.argmax(axis=0)
    last = n_days - 1 - status[::-1].argmax(axis=0)
    assert status.any(axis=0).all()
    assert ((first >= int(0.8 * n_days)).sum()) > 100  # listings up to the end of the period
    delisted = last < n_days - 1
    assert 20 < delisted.sum() < 150
    # A delisted stock has nothing at all after its last day, and was listed for half a year.
    for name in ("Close", "Open", "limit_up", "rq_index_components_new_000300.XSHG"):
        values = market.factors[name].to_numpy()
        after = np.arange(n_days)[:, None] > last[None, :]
        assert np.isnan(values[after]).all(), name
    assert (last[delisted] - first[delisted] + 1 >= 120).all()
