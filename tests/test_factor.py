"""tessary.factor.evaluate and compare on a small store: the figures against the plain
references, hand-made cross-sections, the group backtests against run_backtest, and
bad input."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest

from factor_market import MASK_KEY, spoiled, write_factor_store
from reference import factor as ref
from tessary.backtest.api import run_backtest
from tessary.factor import compare, evaluate


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = tmp_path_factory.mktemp("factor_store")
    _, data = write_factor_store(path, n_dates=60, n_stocks=30, seed=3)
    return path, data


def _reversal(data, window=5):
    close = data["close_price"]
    return -(close / close.shift(window) - 1)


def _reference_cross_section(factor, data, universe=False, industry=False):
    """The reference's cross-section: a value, buyable on the next date, a member, an industry."""
    can_buy_next = data["can_buy_stock"].shift(-1, fill_value=False).astype(bool)
    keep = factor.notna() & can_buy_next
    if universe:
        keep &= data[MASK_KEY].reindex_like(factor) > 0
    if industry:
        keep &= data["industry_matrix"].notna()
    return factor.where(keep)


@pytest.mark.parametrize("universe,neutralize", [(None, None), ("000300", None), (None, "industry")])
def test_figures_match_the_reference(market, universe, neutralize):
    path, data = market
    factor = _reversal(data)
    report = evaluate(factor, path, periods=(1, 3), groups=3, universe=universe, neutralize=neutralize,
                      backtest=False)
    x = _reference_cross_section(factor, data, universe == "000300", neutralize == "industry")
    if neutralize:
        x = ref.neutralize(x, data["industry_matrix"])
    labels = ref.ordinal_groups(x, 3)
    for h in (1, 3):
        forward = ref.forward_returns(data["open_price"], data["rq_get_split"], data["rq_get_dividend"], h)
        expected = ref.rank_ic(x, forward)
        np.testing.assert_allclose(report.ic[h].to_numpy(), expected.to_numpy(), rtol=0, atol=1e-12)
        means = ref.group_means(forward, labels, 3)
        np.testing.assert_allclose(report.group_mean[h].to_numpy(), means.mean().to_numpy(), rtol=1e-12)
    np.testing.assert_array_equal(report.group_labels.to_numpy(), labels.to_numpy())
    np.testing.assert_allclose(report.turnover.to_numpy(), ref.turnover(labels, 3).to_numpy(), atol=1e-15)
    r1 = ref.forward_returns(data["open_price"], data["rq_get_split"], data["rq_get_dividend"], 1)
    for lag in (0, 4):
        expected = ref.rank_ic(x, r1.shift(-lag)).mean()
        assert report.decay[lag] == pytest.approx(expected, abs=1e-12)
    summary = report.ic_summary.loc[3]
    ic3 = report.ic[3].dropna()
    assert summary["t_stat_nw"] == pytest.approx(ref.newey_west_t(ic3, 2), rel=1e-12)
    assert summary["ir"] == pytest.approx(ic3.mean() / ic3.std(ddof=1), rel=1e-12)
    assert summary["count"] == len(ic3)


def test_hand_made_cross_sections(market):
    path, data = market
    dates, codes = data["close_price"].index[:4], data["close_price"].columns[:6]
    factor = pd.DataFrame(
        [[1.0, 2.0, 2.0, 3.0, np.nan, 4.0],  # ties and a NaN
         [5.0, 5.0, 5.0, 5.0, 5.0, 5.0],  # constant: no IC
         [1.0, 2.0, 3.0, 4.0, np.nan, np.nan],  # 4 stocks: too few for an IC
         [6.0, 5.0, 4.0, 3.0, 2.0, 1.0]],
        index=dates, columns=codes)
    report = evaluate(factor, path, periods=(1,), groups=2, tradable=False, backtest=False)
    assert math.isnan(report.ic.iloc[1, 0]) and math.isnan(report.ic.iloc[2, 0])
    labels = report.group_labels.to_numpy()
    # ordinal ranks, ties in the store's order: 1, 2, 2, 3, -, 4 -> ranks 1..5 of 5 -> groups 1,1,1,2,0,2
    np.testing.assert_array_equal(labels[0], [1, 1, 1, 2, 0, 2])
    np.testing.assert_array_equal(labels[1], [1, 1, 1, 2, 2, 2])
    np.testing.assert_array_equal(labels[3], [2, 2, 2, 1, 1, 1])
    # group 1: {0, 1, 2} on dates 1 and 2, none new; all new on date 4
    assert report.turnover.iloc[1, 0] == 0.0 and report.turnover.iloc[3, 0] == 1.0
    assert report.turnover.iloc[1, 1] == pytest.approx(1 / 3)  # {3, 5} -> {3, 4, 5}


def test_group_returns_equal_run_backtest_of_the_group_weights(market):
    path, data = market
    factor = _reversal(data)
    rebalance = 3
    rates = dict(fee=2e-4, rule_fee=1e-3, total_money=5e6)
    report = evaluate(factor, path, groups=3, rebalance=rebalance, periods=(1,), **rates)
    labels = report.group_labels
    chosen = labels.iloc[::rebalance]
    last = data["close_price"].index[-1]
    for g in (1, 2, 3):
        member = chosen == g
        weights = member.div(member.sum(axis=1), axis=0).where(member)
        weights.index = weights.index.strftime("%Y%m%d")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = run_backtest(weights, path, end_date=last, **rates)
        got = report.group_returns[g]
        assert got.index.equals(result.daily_return.index)
        np.testing.assert_allclose(got.to_numpy(), result.daily_return.to_numpy(), rtol=0, atol=1e-12)
        for key, value in result.stats.items():
            assert report.group_stats.loc[g, key] == pytest.approx(value, rel=1e-9, abs=1e-12, nan_ok=True), key
    np.testing.assert_array_equal(report.long_short.to_numpy(),
                                  (report.group_returns[3] - report.group_returns[1]).to_numpy())


def test_long_frames_give_the_same_report_and_compare_screens(market, tmp_path):
    path, data = market
    wide = _reversal(data)
    # melt keeps the NaN cells on every pandas (stack drops them before pandas 3)
    long = wide.rename_axis(index="date", columns="code").reset_index().melt(
        id_vars="date", var_name="code", value_name="value")
    a = evaluate(wide, path, periods=(1, 2), groups=3, backtest=False)
    b = evaluate(long, path, periods=(1, 2), groups=3, backtest=False)
    pd.testing.assert_frame_equal(a.ic, b.ic)
    table = compare({"rev5": wide, "mom5": -wide, "rev10": _reversal(data, 10)}, path, periods=(1, 2), groups=3,
                    threads=2)
    assert list(table.columns[:3]) == ["ic_mean_1", "ir_1", "t_stat_1"]
    assert table["ir_1"].is_monotonic_decreasing
    assert table.loc["rev5", "ir_1"] == pytest.approx(-table.loc["mom5", "ir_1"])
    summary = a.to_dict()
    assert set(summary["ic_summary"]) == {"1", "2"} and len(summary["decay"]) == 20
    fig = b.plot(tmp_path / "page.png")
    assert (tmp_path / "page.png").stat().st_size > 10_000 and fig is not None
    assert "<img" in b._repr_html_()


@pytest.mark.parametrize("change,message", [
    (dict(factor="nan"), "all NaN"),
    (dict(factor="constant"), "constant on every date"),
    (dict(factor="foreign"), "not in the store"),
    (dict(factor="late"), "not trading days of the store"),
    (dict(groups=1), "groups must be at least 2"),
    (dict(groups=31), "larger than the largest cross-section"),
    (dict(periods=(1, 0)), "periods must be positive integers"),
    (dict(periods=(1.5,)), "periods must be positive integers"),
    (dict(universe="000999"), "unknown universe '000999'"),
    (dict(neutralize="sector"), "neutralize must be None or 'industry'"),
    (dict(benchmark="999999"), "unknown benchmark"),
])
def test_bad_input_is_a_clear_error(market, change, message):
    path, data = market
    factor = _reversal(data)
    factor = spoiled(factor, change.pop("factor", None))
    with pytest.raises(ValueError, match=message):
        evaluate(factor, path, **change)


@pytest.mark.parametrize("seed, rebalance", [(0, 1), (1, 3), (2, 7)])
def test_group_holding_and_turnover_equal_the_carried_weight_matrices(seed, rebalance):
    """Holding count and turnover of every group, counted from members shared between
    rows, equal those of each group's carried weight matrix stock by stock."""
    from tessary.factor import _groups

    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 5, size=(30, 60)).astype(np.int32)  # 0: in no group
    labels[4] = 0  # a row where every group is empty
    weight = _groups.group_weights(labels, 4)
    held = np.repeat(np.arange(30), rebalance)[:70]  # each row carried over `rebalance` days
    holding, turnover = _groups.holding_and_turnover(labels, weight, held, 4)
    for g in range(1, 5):
        carried = np.where(labels == g, weight[:, [g - 1]], 0.0)[held]
        moved = np.concatenate([[0.0], np.abs(np.diff(carried, axis=0)).sum(axis=1)])
        assert holding[g - 1] == pytest.approx((carried != 0).sum(axis=1).mean(), rel=1e-14)
        assert turnover[g - 1] == pytest.approx(moved.mean() / 2 * 100, rel=1e-12)
