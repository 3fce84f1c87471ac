"""Impossible input is refused by every backtest door with the same message: the
engine's run_strategy_backtest_core, compute_records, records_from_inputs, the
scalars of run_backtest and of a sweep's grid, and a sweep row."""

import numpy as np
import pandas as pd
import pytest

import sweep_strategies as strategies
from tessary.backtest import _pnl_engine as eng
from tessary.backtest import run_backtest
from tessary.backtest.records import compute_records, records_from_inputs
from tessary.sweep import run_sweep

MARKET = ["can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor", "close_price", "prev_close",
          "buy_price", "sell_price"]


def market(n=6, m=3, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=n).strftime("%Y%m%d")
    cols = [f"{i:06d}" for i in range(m)]
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (n, m)), axis=0))

    def f(v):
        return pd.DataFrame(v, index=dates, columns=cols)

    frames = {
        "can_buy_stock": f(np.ones((n, m), bool)),
        "cant_sell_stock": f(np.zeros((n, m), bool)),
        "split_factor": f(np.full((n, m), np.nan)),
        "dividend_factor": f(np.full((n, m), np.nan)),
        "close_price": f(close),
        "prev_close": f(np.vstack([close[:1], close[:-1]])),
        "buy_price": f(close * 1.001),
        "sell_price": f(close * 0.999),
    }
    return f(np.full((n, m), 1.0 / m)), frames


def engine_door(weights, frames, **kw):
    return eng.run_strategy_backtest_core(weights, *[frames[k] for k in MARKET], **kw)


def records_door(weights, frames, **kw):
    return compute_records(weights, **frames, **kw)


def inputs_door(weights, frames, **kw):
    return records_from_inputs({"strategy_matrix": weights, **frames, **kw, "benchmark_dict": None})


DOORS = [engine_door, records_door, inputs_door]


def _with_cell(frames, key, row, col, value):
    frame = frames[key].copy()
    frame.iloc[row, col] = value
    return {**frames, key: frame}


def _weights_as(weights, values):
    return pd.DataFrame(values, index=weights.index, columns=weights.columns)


# (name, change of (weights, frames, kwargs), exception, message start)
CASES = [
    ("descending dates", lambda w, f, kw: (w.iloc[::-1], f, kw), ValueError,
     "the dates of strategy_matrix must be strictly increasing: '20240105' at row 1 comes after '20240108'"),
    ("repeated date", lambda w, f, kw: (pd.concat([w.iloc[:3], w.iloc[2:]]), f, kw), ValueError,
     "the dates of strategy_matrix must be strictly increasing: '20240103' at row 3 repeats '20240103'"),
    ("stock twice", lambda w, f, kw: (w.set_axis(["000000", "000001", "000000"], axis=1), f, kw), ValueError,
     "strategy_matrix names 1 stock(s) more than once: '000000'"),
    ("negative capital", lambda w, f, kw: (w, f, {**kw, "total_money": -1e6}), ValueError,
     "total_money must be finite and > 0, not -1000000.0"),
    ("NaN capital", lambda w, f, kw: (w, f, {**kw, "total_money": float("nan")}), ValueError,
     "total_money must be finite and > 0, not nan"),
    ("zero capital", lambda w, f, kw: (w, f, {**kw, "total_money": 0}), ValueError,
     "total_money must be finite and > 0, not 0.0"),
    ("huge fee", lambda w, f, kw: (w, f, {**kw, "fee": 2.0}), ValueError,
     "fee must be finite and >= 0 and < 1, not 2.0"),
    ("negative fee", lambda w, f, kw: (w, f, {**kw, "fee": -0.001}), ValueError,
     "fee must be finite and >= 0 and < 1, not -0.001"),
    ("levy of one", lambda w, f, kw: (w, f, {**kw, "rule_fee": 1}), ValueError,
     "rule_fee must be finite and >= 0 and < 1, not 1.0"),
    ("negative window", lambda w, f, kw: (w, f, {**kw, "rolling_window": -2}), ValueError,
     "rolling_window must not be negative, not -2"),
    ("negative window, truncated", lambda w, f, kw: (w, f, {**kw, "rolling_window": -1.5}), ValueError,
     "rolling_window must not be negative, not -1"),
    ("infinite weight", lambda w, f, kw: (_weights_as(w, np.where(np.eye(6, 3) > 0, np.inf, w)), f, kw), ValueError,
     "strategy_matrix holds 3 infinite weight(s) (first: 20240101 000000); a weight is a fraction of the capital"),
    ("minus infinite weight", lambda w, f, kw: (_weights_as(w, np.where(np.eye(6, 3, 1) > 0, -np.inf, w)), f, kw),
     ValueError, "strategy_matrix holds 2 infinite weight(s) (first: 20240101 000001)"),
    ("bool weights", lambda w, f, kw: (w > 0, f, kw), TypeError,
     "strategy_matrix must hold weights as real numbers (float or int), not bool (3 column(s): '000000', '000001', "
     "'000002')"),
    ("datetime weights", lambda w, f, kw: (w.assign(**{"000001": pd.Timestamp("2024-01-01")}), f, kw), TypeError,
     "strategy_matrix must hold weights as real numbers (float or int), not datetime64"),
    ("complex weights", lambda w, f, kw: (w.astype(complex), f, kw), TypeError,
     "strategy_matrix must hold weights as real numbers (float or int), not complex128"),
    ("object weights", lambda w, f, kw: (w.astype(object), f, kw), TypeError,
     "strategy_matrix must hold weights as real numbers (float or int), not object"),
    ("zero buy price", lambda w, f, kw: (w, _with_cell(f, "buy_price", 2, 1, 0.0), kw), ValueError,
     "buy_price is zero or negative on 1 stock-day(s) where buying is allowed (first: 20240103 000001 = 0)"),
    ("negative buy price", lambda w, f, kw: (w, _with_cell(f, "buy_price", 5, 0, -3.5), kw), ValueError,
     "buy_price is zero or negative on 1 stock-day(s) where buying is allowed (first: 20240108 000000 = -3.5)"),
]


@pytest.mark.parametrize("door", DOORS, ids=lambda d: d.__name__)
@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_low_level_doors_refuse_with_one_message(monkeypatch, door, case):
    _, change, error, message = case
    weights, frames, kwargs = change(*market(), {})
    engine_calls = []
    monkeypatch.setattr(eng, "calc_strategy_vwap_daily_return", lambda **kw: engine_calls.append(kw))
    with pytest.raises(error) as caught:
        door(weights, frames, **kwargs)
    assert str(caught.value).startswith(message), str(caught.value)
    assert engine_calls == []  # refused before any work


@pytest.mark.parametrize("door", DOORS, ids=lambda d: d.__name__)
@pytest.mark.parametrize("change", [
    # a zero buy price where buying is barred, or on the first date (never traded on)
    lambda w, f: (w, _with_cell(_with_cell(f, "buy_price", 2, 1, 0.0), "can_buy_stock", 2, 1, False)),
    lambda w, f: (w, _with_cell(f, "buy_price", 0, 1, 0.0)),
    # a NaN buy price (not traded), NaN and zero weights, integer weights, a fee of zero
    lambda w, f: (w, _with_cell(f, "buy_price", 3, 0, np.nan)),
    lambda w, f: (_weights_as(w, np.where(np.eye(6, 3) > 0, np.nan, 0.0)), f),
    lambda w, f: (w.astype(np.int64) * 0 + 1, f),
], ids=["barred", "first date", "NaN price", "NaN weights", "int weights"])
def test_possible_input_still_runs(door, change):
    weights, frames = change(*market())
    door(weights, frames, fee=0.0, rolling_window=-0.5)


def test_argument_rules_come_first():
    weights, frames = market()
    with pytest.raises(TypeError, match=r"^Argument 'rolling_window' has incorrect type \(expected int, got str\)$"):
        engine_door(weights.iloc[::-1], frames, rolling_window="3", fee=2.0)
    with pytest.raises(TypeError, match=r"^Argument 'rolling_window' has incorrect type \(expected int, got str\)$"):
        records_door(weights.iloc[::-1], frames, rolling_window="3", fee=2.0)
    for door in DOORS:  # the float conversion's own message
        with pytest.raises(TypeError, match="^must be real number, not str$"):
            door(weights, frames, total_money="1e8", fee=2.0)


@pytest.mark.parametrize("kwargs, message", [
    ({"total_money": float("inf")}, "total_money must be finite and > 0, not inf"),
    ({"fee": 2.0}, "fee must be finite and >= 0 and < 1, not 2.0"),
    ({"rule_fee": -1}, "rule_fee must be finite and >= 0 and < 1, not -1.0"),
    ({"rolling_window": -3}, "rolling_window must not be negative, not -3"),
])
def test_run_backtest_and_the_engine_say_the_same(tmp_path, kwargs, message):
    weights, frames = market()
    for call in (lambda: run_backtest(weights, tmp_path, **kwargs), lambda: engine_door(weights, frames, **kwargs)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == message


def test_sweep_rows_with_impossible_weights_carry_an_error(sweep_store):
    result = run_sweep(sweep_store, strategies.shaped, {"kind": ["ok", "infinite", "bool"]}, workers=2,
                       progress=False)
    table = result.table.set_index("kind")
    assert table.loc["ok", "error"] is None
    # The sweep takes a strategy's weights as run_backtest takes them: its messages.
    assert "ValueError: 1 weight(s) are infinite" in table.loc["infinite", "error"]
    assert "real numbers" in table.loc["bool", "error"]
    assert table.loc[["infinite", "bool"], "long_sharp"].isna().all()


def test_a_store_with_a_zero_buy_price_is_refused_by_run_backtest_and_the_sweep(tmp_path):
    from sweep_market import random_market
    from tessary.backtest._prepare import PREPARED_DATA_VERSION, BinaryPreparedDataStore

    data = random_market(n_dates=30, n_stocks=6, seed=4)
    buy = data["buy_price"].copy()
    buy.iloc[10, 2] = 0.0
    data["buy_price"] = buy
    data["can_buy_stock"] = data["can_buy_stock"] | True
    BinaryPreparedDataStore(tmp_path).write_payload({"version": PREPARED_DATA_VERSION, "meta": {}, "data": data})
    weights = pd.DataFrame(0.1, index=buy.index, columns=buy.columns)
    message = (f"buy_price is zero or negative on 1 stock-day(s) where buying is allowed (first: {buy.index[10]} "
               f"{buy.columns[2]} = 0)")
    with pytest.raises(ValueError) as caught:
        run_backtest(weights, tmp_path)
    assert str(caught.value).startswith(message)
    result = run_sweep(tmp_path, lambda market, share=0.1: weights * share, {"share": [0.1]}, workers=1,
                       progress=False)
    assert result.table["error"].iloc[0].startswith("ValueError: " + message)


@pytest.mark.parametrize("cells", [[(0, 0, np.inf)], [(3, 2, -np.inf), (1, 1, np.inf), (5, 0, np.inf)],
                                   [(2, 1, np.inf), (2, 2, np.nan)]])
def test_the_engine_check_and_the_front_door_count_and_name_the_same_infinite_weights(cells):
    from tessary.backtest import _checks, _weights

    weights, _ = market()
    values = weights.to_numpy(copy=True)
    for row, col, value in cells:
        values[row, col] = value
    weights = _weights_as(weights, values)
    count = sum(np.isinf(value) for _, _, value in cells)
    first = min((row, col) for row, col, value in cells if np.isinf(value))
    named = f"{count} infinite weight(s) (first: {weights.index[first[0]]} {weights.columns[first[1]]})"
    with pytest.raises(ValueError) as engine:
        _checks.check_weight_frame(weights)
    with pytest.raises(ValueError) as front:
        _weights.weight_values(weights)
    assert named in str(engine.value)
    assert str(front.value).startswith(f"{count} weight(s) are infinite (first: {weights.index[first[0]]} "
                                       f"{weights.columns[first[1]]})")
