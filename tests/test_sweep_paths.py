"""Variants that trade the same weights share one smoothing: rows of a sweep whose
fee and capital variants run on shared smoothed weights equal the rows of
one-combination sweeps to the bit, with rebalance-only weights and both rules between
rebalance dates; a failing variant fails only its row."""

import numpy as np
import pandas as pd
import pytest

from sweep_market import assert_same_sweep_when_broken
from tessary.backtest import _records
from tessary.backtest import _pnl_engine
from tessary.backtest._market_frames import MARKET_FRAMES
from tessary.backtest._prepare import BinaryPreparedDataStore
from tessary.strategies import momentum
from tessary.sweep import STAT_KEYS, run_sweep
from tessary.sweep import _path

PATH_GRID = {"lookback": [5, 10], "rolling_window": [0, 1, 3, 500], "fee": [0.0, 1e-4, 3e-4],
             "total_money": [1e6, 1e8], "between": ["resize", "hold"]}


def rebalance_only(market, lookback=5):
    """Momentum weights on every seventh date only: the sweep carries them onto the
    trading days between."""
    weights = momentum(market, lookback=lookback)
    return weights.iloc[::7]


def _single_rows(store, strategy, grid):
    """Each combination of ``grid`` as a sweep of its own: one variant, nothing shared."""
    names = list(grid)
    points = [dict(zip(names, values)) for values in pd.MultiIndex.from_product(list(grid.values()))]
    return [run_sweep(store, strategy, [point], workers=1, progress=False) for point in points]


@pytest.fixture(scope="module")
def batched_and_single(sweep_store):
    batched = run_sweep(sweep_store, rebalance_only, PATH_GRID, workers=2, progress=False)
    return batched, _single_rows(sweep_store, rebalance_only, PATH_GRID)


def test_shared_paths_group_by_traded_window_in_order():
    variants = [(0, {"rolling_window": 3, "fee": 0.0}), (1, {"fee": 1e-4}), (2, {"rolling_window": 50}),
                (3, {"rolling_window": 3, "total_money": 1e6}), (4, {"rolling_window": 20}), (5, {"rolling_window": 0})]
    assert _path.shared_paths(variants, rows=20) == [
        [variants[0], variants[3]], [variants[1], variants[5]], [variants[2], variants[4]]
    ]
    assert _path.shared_paths([], rows=20) == []


def test_batched_rows_equal_one_combination_sweeps_to_the_bit(batched_and_single):
    batched, singles = batched_and_single
    assert len(batched.table) == len(singles) == 2 * 4 * 3 * 2 * 2
    assert batched.table["error"].isna().all()
    for number, single in enumerate(singles):
        assert batched.table.loc[number, list(PATH_GRID)].tolist() == single.table.loc[0, list(PATH_GRID)].tolist()
        figures = [c for c in batched.table.columns if c not in PATH_GRID and c != "error"]
        np.testing.assert_array_equal(batched.table.loc[number, figures].to_numpy(dtype=float),
                                      single.table.loc[0, figures].to_numpy(dtype=float))
        pd.testing.assert_series_equal(batched.daily_returns[number], single.daily_returns[0], check_exact=True,
                                       check_names=False)


def test_variants_of_one_path_differ_only_in_their_fees(batched_and_single):
    """A guard that the grid really varies what it should: the fee changes the
    returns, the rule between dates changes them, a window past the dates equals
    the longest window there is."""
    table = batched_and_single[0].table.set_index(list(PATH_GRID))
    annual = table["annual_return"]
    assert annual[(5, 3, 0.0, 1e8, "resize")] > annual[(5, 3, 3e-4, 1e8, "resize")]
    assert annual[(5, 3, 1e-4, 1e8, "resize")] != annual[(5, 3, 1e-4, 1e8, "hold")]
    assert annual[(5, 0, 1e-4, 1e8, "resize")] == annual[(5, 1, 1e-4, 1e8, "resize")]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("window", [2, 5, 200])
def test_smoothing_once_is_the_pipelines_own_smoothing(sweep_store, order, window):
    store = BinaryPreparedDataStore(sweep_store)
    data = store.load()["data"]
    raw = momentum(data, lookback=5)
    weights = pd.DataFrame(np.asarray(raw.to_numpy(), order=order), index=raw.index, columns=raw.columns)
    names = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
    market = {p: data[names.get(p, p)] for p in MARKET_FRAMES}
    own = _pnl_engine.run_strategy_backtest_core(weights, **market, rolling_window=window, plot_image_kind=None)
    shared = _pnl_engine.run_strategy_backtest_core(_records.smooth_weights(weights, window), **market,
                                                    rolling_window=0, plot_image_kind=None)
    pd.testing.assert_series_equal(own.daily_return, shared.daily_return, check_exact=True)
    assert own.stats.keys() == shared.stats.keys()
    np.testing.assert_array_equal(list(own.stats.values()), list(shared.stats.values()))


def test_a_failing_variant_fails_only_its_row(sweep_store, monkeypatch):
    engine = _pnl_engine.calc_strategy_vwap_daily_return

    def failing_for_one_fee(*args, **kwargs):
        if kwargs.get("fee") == 3e-4:
            raise RuntimeError("engine refused this fee")
        return engine(*args, **kwargs)

    monkeypatch.setattr(_pnl_engine, "calc_strategy_vwap_daily_return", failing_for_one_fee)
    # Under the hold rule each variant calls the engine itself.
    grid = {"lookback": [5], "rolling_window": [3], "fee": [1e-4, 3e-4, 0.0], "between": ["hold"]}
    result = run_sweep(sweep_store, momentum, grid, workers=2, progress=False)
    monkeypatch.undo()
    assert result.table["error"].tolist()[1] == "RuntimeError: engine refused this fee"
    assert result.table["error"].isna().tolist() == [True, False, True]
    assert result.table.loc[1, list(STAT_KEYS)].isna().all()
    expected = run_sweep(sweep_store, momentum, grid, workers=1, progress=False)
    pd.testing.assert_frame_equal(result.table.drop(index=1), expected.table.drop(index=1), check_exact=True)


def test_a_failing_shared_smoothing_falls_back_to_each_variants_own(sweep_store, monkeypatch):
    grid = {"lookback": [5], "rolling_window": [3, 4], "fee": [1e-4, 3e-4]}
    assert_same_sweep_when_broken(sweep_store, grid, monkeypatch, _records, "smooth_weights")


@pytest.mark.parametrize("fees", [1, 3, 40])
def test_paths_of_1_3_and_40_variants_take_the_shared_route_and_equal_single_rows(sweep_store, monkeypatch, fees):
    from tessary.sweep import _tasks

    grid = {"lookback": [5], "rolling_window": [4], "fee": [i * 1e-5 for i in range(fees)]}
    singles = _single_rows(sweep_store, momentum, grid)
    plain = _tasks.backtest
    own_runs = []

    def recorded(spec, weights, number, pipeline, given_dates=None):
        own_runs.append(number)
        return plain(spec, weights, number, pipeline, given_dates)

    monkeypatch.setattr(_tasks, "backtest", recorded)
    batched = run_sweep(sweep_store, momentum, grid, workers=1, progress=False)
    assert own_runs == ([0] if fees == 1 else [])  # a lone variant is a backtest of its own
    for number, single in enumerate(singles):
        np.testing.assert_array_equal(batched.table.loc[number, list(STAT_KEYS)].to_numpy(dtype=float),
                                      single.table.loc[0, list(STAT_KEYS)].to_numpy(dtype=float))
        pd.testing.assert_series_equal(batched.daily_returns[number], single.daily_returns[0], check_exact=True,
                                       check_names=False)


@pytest.mark.parametrize("layout", ["C", "F", "mixed"])
@pytest.mark.parametrize("capital", [1e8, 3e5])
def test_fee_paths_equal_the_engine_per_rate_pair_to_the_bit(layout, capital):
    from sweep_market import random_market

    data = random_market(n_dates=70, n_stocks=150, seed=11)
    rng = np.random.default_rng(4)
    names = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
    market = {p: data[names.get(p, p)] for p in MARKET_FRAMES}
    values = np.where(rng.random((70, 150)) < 0.15, rng.random((70, 150)) / 20, 0.0)
    values[rng.random(values.shape) < 0.02] = np.nan
    values[rng.random(values.shape) < 0.02] = -0.01
    orders = {"C": ["C"] * 9, "F": ["F"] * 9, "mixed": ["C", "F"] * 5}[layout]

    def laid(frame, order):
        return pd.DataFrame(np.asarray(frame.to_numpy(), order=order), index=frame.index, columns=frame.columns)

    weights = laid(pd.DataFrame(values, index=data["close_price"].index, columns=data["close_price"].columns),
                   orders[0])
    market = {name: laid(frame, order) for (name, frame), order in zip(market.items(), orders[1:])}
    fees, rule_fees = [0.0, 1e-4, 3e-4, 0.01], [5e-4, 0.0, 5e-4, 0.02]
    returns, dates = _records.fee_path_returns(weights, **market, fees=fees, rule_fees=rule_fees, total_money=capital)
    assert returns.shape == (4, 69)
    for row, fee, rule_fee in zip(returns, fees, rule_fees):
        own = _pnl_engine.calc_strategy_vwap_daily_return(weights, **market, fee=fee, rule_fee=rule_fee,
                                                          total_money=capital)
        pd.testing.assert_series_equal(pd.Series(row, index=dates), own, check_exact=True)


@pytest.mark.parametrize("fees, rule_fees, error, match", [
    ([], [], ValueError, "one rate each per portfolio"),
    ([1e-4], [5e-4, 0.0], ValueError, "one rate each per portfolio"),
    (["x"], [5e-4], TypeError, "fees must hold numbers"),
])
def test_fee_paths_refuse_rates_that_do_not_pair(sweep_store, fees, rule_fees, error, match):
    data = BinaryPreparedDataStore(sweep_store).load()["data"]
    names = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
    market = {p: data[names.get(p, p)] for p in MARKET_FRAMES}
    with pytest.raises(error, match=match):
        _records.fee_path_returns(momentum(data, lookback=5), **market, fees=fees, rule_fees=rule_fees)


FEE_CHILD = r"""
import pickle, sys
import numpy as np, pandas as pd
sys.path.insert(0, sys.argv[1])
from reference.vwap import random_market
from tessary.backtest import _pnl_engine as eng, _records

out = {"simd": eng._SIMD}
market = random_market(67, 531, seed=5, special=True)
for layout in ("F", "C"):
    convert = np.asfortranarray if layout == "F" else np.ascontiguousarray
    frames = {k: pd.DataFrame(convert(v.to_numpy()), index=v.index, columns=v.columns, copy=False)
              for k, v in market.items()}
    fees, rule_fees = [0.0, 3e-4, 1e-4], [5e-4, 0.0, 5e-4]
    out["paths", layout] = _records.fee_path_returns(**frames, fees=fees, rule_fees=rule_fees)[0]
    out["engine", layout] = np.stack([eng.calc_strategy_vwap_daily_return(**frames, fee=f, rule_fee=r).to_numpy()
                                      for f, r in zip(fees, rule_fees)])
sys.stdout.buffer.write(pickle.dumps(out))
"""


@pytest.mark.parametrize("width", ["scalar", "avx2", "avx512"])
def test_fee_paths_equal_the_engine_at_every_width_on_special_values(width):
    import os
    import pickle
    import subprocess
    import sys

    if width not in _pnl_engine._SIMD_AVAILABLE:
        pytest.skip(f"this machine does not run {width}")
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", FEE_CHILD, here], env=dict(os.environ, TESSARY_SIMD=width),
                          capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    out = pickle.loads(done.stdout)
    assert out["simd"] == width
    for layout in ("F", "C"):
        assert out["paths", layout].tobytes() == out["engine", layout].tobytes()


def test_batch_returns_equal_the_engine_per_work_and_variant():
    """A batch of several weight matrices, each under capital and fee variants: every
    row is the engine's own result for that matrix and those costs, to the bit."""
    from sweep_market import random_market
    from tessary.sweep import _batch_returns

    data = random_market(n_dates=60, n_stocks=120, seed=5)
    names = {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}
    market = {p: data[names.get(p, p)] for p in MARKET_FRAMES}
    rng = np.random.default_rng(9)
    works = [pd.DataFrame(np.where(rng.random((60, 120)) < share, rng.random((60, 120)) / 20, 0.0),
                          index=data["close_price"].index, columns=data["close_price"].columns)
             for share in (0.05, 0.3, 0.0)]
    costs = [[(1e8, 1e-4, 5e-4), (3e5, 0.0, 5e-4), (1e8, 3e-4, 0.0)], [(1e6, 1e-4, 5e-4)], [(1e8, 0.0, 0.0)]]
    values, dates = _batch_returns.batch_returns(works, market, costs)
    assert [v.shape for v in values] == [(3, 59), (1, 59), (1, 59)]
    for work, rows, variants in zip(works, values, costs):
        for row, (money, fee, rule_fee) in zip(rows, variants):
            own = _pnl_engine.calc_strategy_vwap_daily_return(work, **market, fee=fee, rule_fee=rule_fee,
                                                              total_money=money)
            pd.testing.assert_series_equal(pd.Series(row, index=dates), own, check_exact=True)
