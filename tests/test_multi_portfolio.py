"""Many portfolios in one pass over the market: every (weights, capital, fee, rule fee)
variant of a batch equals the engine's single portfolio to the bit, whatever the
overlap of the portfolios, the layouts of the frames, the vector width and the special
values of the market; bad batches are refused with a clear message."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from reference.vwap import random_market
from tessary.backtest import _pnl_engine, _records
from tessary.sweep import _batch_returns

HERE = os.path.dirname(os.path.abspath(__file__))


def _works(market, n, seed):
    """n overlapping weight matrices on the market's index: dense, sparse, empty, with
    the market's own special weights (NaN, negative, infinite), and copies of another."""
    rng = np.random.default_rng(seed)
    base = market["signal_matrix"]
    shape = base.shape
    out = [base]
    for j in range(1, n):
        share = (0.0, 0.02, 0.3, 0.9)[j % 4]
        values = np.where(rng.random(shape) < share, rng.uniform(0.0, 0.03, shape), 0.0)
        values[rng.random(shape) < 0.01] = np.nan
        if j % 5 == 4:
            values = out[-1].to_numpy().copy()  # two portfolios holding exactly the same stocks
        out.append(pd.DataFrame(values, index=base.index, columns=base.columns))
    return out


def _layout(frame, order):
    values = frame.to_numpy()
    convert = {"C": np.ascontiguousarray, "F": np.asfortranarray}[order]
    return pd.DataFrame(convert(values), index=frame.index, columns=frame.columns, copy=False)


def _market_frames(market, layout, rng):
    orders = {"C": "CCCCCCCC", "F": "FFFFFFFF", "mixed": "".join(rng.choice(["C", "F"], 8))}[layout]
    names = [n for n in market if n != "signal_matrix"]
    return {n: _layout(market[n], o) for n, o in zip(names, orders)}


COSTS = [(1e8, 1e-4, 5e-4), (3e5, 0.0, 5e-4), (1e8, 3e-4, 0.0), (1e8, 0.0, 0.0), (7e6, 1e-4, 5e-4)]


def _engine_rows(work, frames, variants):
    return np.stack([_pnl_engine.calc_strategy_vwap_daily_return(work, **frames, total_money=m, fee=f, rule_fee=r)
                     .to_numpy() for m, f, r in variants])


@pytest.mark.parametrize("layout", ["C", "F", "mixed"])
@pytest.mark.parametrize("work_layout", ["C", "F", "mixed"])  # rows read in place, or gathered first
@pytest.mark.parametrize("size", [1, 3, 12])
def test_every_variant_of_a_batch_is_the_engines_portfolio_to_the_bit(layout, work_layout, size):
    market = random_market(53, 211, seed=size, special=True)
    rng = np.random.default_rng(size)
    frames = _market_frames(market, layout, rng)
    orders = {"C": ["C"] * size, "F": ["F"] * size, "mixed": (["C", "F"] * size)[:size]}[work_layout]
    works = [_layout(w, order) for w, order in zip(_works(market, size, seed=size), orders)]
    costs = [[COSTS[(j + v) % len(COSTS)] for v in range(1 + j % 4)] for j in range(size)]
    values, dates = _batch_returns.batch_returns(works, frames, costs)
    assert dates.equals(market["signal_matrix"].index[1:])
    for work, rows, variants in zip(works, values, costs):
        assert rows.tobytes() == _engine_rows(work, frames, variants).tobytes()


@pytest.mark.parametrize("case", ["no costs", "one work", "repeated capital", "all zero"])
def test_batches_of_unusual_shape_keep_their_order(case):
    market = random_market(20, 70, seed=3, special=False)
    frames = {n: f for n, f in market.items() if n != "signal_matrix"}
    works = _works(market, 3, seed=4)
    costs = {"no costs": [[], [COSTS[0]], []],
             "one work": [COSTS[:3], [], []],
             "repeated capital": [[COSTS[4], COSTS[0], COSTS[4], COSTS[2]], [COSTS[1]] * 2, [COSTS[3]]],
             "all zero": [[COSTS[0]], [COSTS[1]], [COSTS[2]]]}[case]
    if case == "all zero":
        works = [w * 0.0 for w in works]
    values, dates = _batch_returns.batch_returns(works, frames, costs)
    assert [v.shape for v in values] == [(len(c), len(dates)) for c in costs]
    for work, rows, variants in zip(works, values, costs):
        if variants:
            assert rows.tobytes() == _engine_rows(work, frames, variants).tobytes()


WIDTH_CHILD = r"""
import pickle, sys
import numpy as np, pandas as pd
sys.path.insert(0, sys.argv[1])
from reference.vwap import random_market
from tessary.backtest import _pnl_engine as eng, _records

market = random_market(61, 389, seed=11, special=True)
frames = {k: v for k, v in market.items() if k != "signal_matrix"}
rng = np.random.default_rng(2)
works = [market["signal_matrix"]] + [market["signal_matrix"].where(rng.random((61, 389)) < s, 0.0)
                                     for s in (0.1, 0.5)]
money, fees, rule_fees = [1e8, 2e5, 1e8, 5e6], [1e-4, 0.0, 3e-4, 1e-4, 0.0], [5e-4, 5e-4, 0.0, 0.0, 1e-3]
out = {"simd": eng._SIMD}
out["batch"] = _records.portfolio_path_returns(works, **frames, paths=[2, 1, 1], money=money,
                                               variants=[2, 1, 1, 1], fees=fees, rule_fees=rule_fees)[0]
plan = [(0, 0, 0), (0, 0, 1), (0, 1, 2), (1, 2, 3), (2, 3, 4)]  # (work, capital, rates) of each row
out["engine"] = np.stack([eng.calc_strategy_vwap_daily_return(works[j], **frames, total_money=money[p],
                                                               fee=fees[v], rule_fee=rule_fees[v]).to_numpy()
                          for j, p, v in plan])
sys.stdout.buffer.write(pickle.dumps(out))
"""


@pytest.mark.parametrize("width", ["scalar", "avx2", "avx512"])
def test_the_batch_equals_the_engine_at_every_width(width):
    if width not in _pnl_engine._SIMD_AVAILABLE:
        pytest.skip(f"this machine does not run {width}")
    done = subprocess.run([sys.executable, "-c", WIDTH_CHILD, HERE], env=dict(os.environ, TESSARY_SIMD=width),
                          capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    out = pickle.loads(done.stdout)
    assert out["simd"] == width
    assert out["batch"].tobytes() == out["engine"].tobytes()


@pytest.mark.parametrize("change, error, match", [
    (dict(paths=[1, 1]), ValueError, "one count per weight matrix"),
    (dict(paths=[2]), ValueError, "the paths add up to 2, expected 1"),
    (dict(variants=[0], fees=[], rule_fees=[]), ValueError, "the variants must be at least 1"),
    (dict(fees=[1e-4, 0.0]), ValueError, "one rate each per variant"),
    (dict(fees=["a"]), TypeError, "fees must hold numbers"),
    (dict(paths=[1.5]), TypeError, "paths must hold integers"),
    (dict(works=[]), ValueError, "at least one weight matrix"),
    (dict(works="shifted"), ValueError, "index and columns of the first"),
])
def test_bad_batches_are_refused_with_a_clear_message(change, error, match):
    market = random_market(12, 30, seed=1, special=False)
    frames = {n: f for n, f in market.items() if n != "signal_matrix"}
    call = dict(works=[market["signal_matrix"]], paths=[1], money=[1e8], variants=[1], fees=[1e-4],
                rule_fees=[5e-4])
    call.update(change)
    if call["works"] == "shifted":
        call["works"] = [market["signal_matrix"], market["signal_matrix"].iloc[1:]]
        call["paths"], call["money"], call["variants"] = [1, 1], [1e8, 1e8], [1, 1]
        call["fees"], call["rule_fees"] = [1e-4, 1e-4], [5e-4, 5e-4]
    with pytest.raises(error, match=match):
        _records.portfolio_path_returns(**call, **frames)


def test_a_batch_of_works_on_different_dates_is_refused():
    market = random_market(12, 30, seed=1, special=False)
    frames = {n: f for n, f in market.items() if n != "signal_matrix"}
    w = market["signal_matrix"]
    with pytest.raises(ValueError, match="index and columns of the first"):
        _batch_returns.batch_returns([w, w[w.columns[::-1]]], frames, [[COSTS[0]], [COSTS[0]]])


def _label_frames(rng, days, stocks):
    """Row-major market rows of the label pass (its argument order) with special values,
    and the same as the engine's frames (a first date prepended)."""
    price = lambda: rng.uniform(5, 50, (days, stocks))  # noqa: E731
    rows = [price(), price(), price(), price(),
            np.where(rng.random((days, stocks)) < 0.03, 2.0, np.nan),
            np.where(rng.random((days, stocks)) < 0.03, 0.2, np.nan),
            rng.random((days, stocks)) > 0.1, rng.random((days, stocks)) < 0.15]
    for a in rows[:4]:
        a[rng.random((days, stocks)) < 0.02] = np.nan  # suspended: no price
        a[rng.random((days, stocks)) < 0.005] = 0.0
    rows = [np.ascontiguousarray(a) for a in rows]
    index = pd.Index([f"2021{i:04d}" for i in range(days + 1)])
    names = ["prev_close", "close_price", "buy_price", "sell_price", "split_factor", "dividend_factor",
             "can_buy_stock", "cant_sell_stock"]
    frames = {n: pd.DataFrame(np.vstack([a[:1], a]), index=index) for n, a in zip(names, rows)}
    return rows, frames, index


@pytest.mark.parametrize("groups", [2, 5, 70])
def test_label_groups_are_the_engines_portfolios_to_the_bit_at_every_width(groups):
    """Each group of a label pass (labels carried between rebalance rows, days without
    weights, stocks leaving and entering groups) equals the engine run on that group's
    own weight matrix, to the bit, whatever the vector width."""
    from tessary.factor import _factor_kernels as k

    rng = np.random.default_rng(groups)
    days, stocks, rows = 70, 130, 25
    market, frames, index = _label_frames(rng, days, stocks)
    labels = rng.integers(0, groups + 1, (rows, stocks)).astype(np.int32)
    labels[1::3] = labels[::3][: len(labels[1::3])]
    weight = np.ascontiguousarray(rng.uniform(0.002, 0.03, (rows, groups)))
    row_of_day = np.minimum(np.arange(days) // 3, rows - 1).astype(np.int64)
    row_of_day[[0, 1, 40]] = -1
    cash = {lanes: k.label_pass(labels, weight, row_of_day, *market, 1e7, 2e-4, 1e-3, 100.0, lanes)
            for lanes in (1, 4, 8)}
    assert cash[4].tobytes() == cash[1].tobytes() and cash[8].tobytes() == cash[1].tobytes()
    some = row_of_day >= 0
    at = np.maximum(row_of_day, 0)
    for g in sorted({1, groups // 2 + 1, groups}):
        w = np.where(some[:, None] & (labels[at] == g), weight[at, g - 1][:, None], 0.0)
        signal = pd.DataFrame(np.vstack([w, w[-1:]]), index=index)  # row i + 1 trades row i's weights
        engine = _pnl_engine.calc_strategy_vwap_daily_return(signal, **frames, total_money=1e7, fee=2e-4,
                                                             rule_fee=1e-3, lot_size=100)
        assert (cash[1][g - 1] / 1e7).tobytes() == engine.to_numpy().tobytes()
