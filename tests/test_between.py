"""run_backtest's rule between rebalance dates (``between``): "resize" is the engine
as it always was, "hold" is the engine's hold rule on the given dates of the weights,
and the records follow the rule."""

import numpy as np
import pandas as pd
import pytest

from test_api import engine_on, same_bits, synthetic_store
from tessary.backtest import run_backtest


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    return synthetic_store(tmp_path_factory, "between", n_stocks=30, seed=5)


def weekly(close, n=10, seed=1):
    """Random long-only weights of n stocks on every fifth trading day of a run."""
    rng = np.random.default_rng(seed)
    index = close.index[10:100:5]
    values = rng.random((len(index), n))
    values[values < 0.3] = 0.0
    values /= values.sum(axis=1, keepdims=True)
    return pd.DataFrame(values, index=index, columns=close.columns[:n])


def test_resize_is_the_default_and_unchanged(store, close):
    weights = weekly(close)
    default = run_backtest(weights, store)
    resize = run_backtest(weights, store, between="resize")
    assert same_bits(default.daily_return, resize.daily_return)
    assert "given" not in resize._engine_inputs  # the engine runs exactly as before
    assert same_bits(resize.daily_return, engine_on(store, resize.weights).daily_return)
    assert resize.to_dict()["between"] == "resize"


@pytest.mark.parametrize("start", [None, 12])
def test_hold_sets_targets_on_the_given_dates(store, close, start):
    weights = weekly(close)
    start_date = None if start is None else close.index[start]  # between two rebalances
    got = run_backtest(weights, store, between="hold", start_date=start_date, end_date=close.index[104])
    days = got.weights.index
    flags = days.isin(weights.index)
    flags[0] = True  # the first day sets targets from the weights in force
    assert np.array_equal(got._engine_inputs["given"], flags)
    want = engine_on(store, got.weights, given=flags)
    assert same_bits(got.daily_return, want.daily_return)
    assert got.to_dict()["between"] == "hold"
    resize = run_backtest(weights, store, start_date=start_date, end_date=close.index[104])
    assert not same_bits(got.daily_return, resize.daily_return)
    # The records follow the hold rule: their daily profit is the returns, and between
    # two given dates no position is re-sized unless a trade was refused.
    rec = got.records
    assert same_bits(rec.daily["daily_return"], got.daily_return)
    traded_days = set(rec.trades["date"].dt.strftime("%Y%m%d"))
    retried = set(rec.blocked["date"].dt.strftime("%Y%m%d"))
    entry = {days[i + 1] for i in np.flatnonzero(flags[:-1])}  # the days trading given weights
    after_blocked = {days[i + 1] for i, d in enumerate(days[:-1]) if d in retried}
    assert traded_days <= entry | after_blocked | retried
    assert len(traded_days) < len(set(resize.records.trades["date"].dt.strftime("%Y%m%d")))


def test_daily_weights_hold_equals_resize_without_splits(store, close):
    split = store.load(keys=["rq_get_split"], mmap=False)["data"]["rq_get_split"]
    weights = weekly(close)
    days = close.index[10:60]
    daily = weights.reindex(days, method="ffill")
    quiet = split.loc[days[1]:days[-1], daily.columns].isna().all().to_numpy()
    daily = daily.loc[:, quiet]
    assert daily.shape[1] >= 5
    hold = run_backtest(daily, store, between="hold")
    resize = run_backtest(daily, store)
    assert hold._engine_inputs["given"].all()
    assert same_bits(hold.daily_return, resize.daily_return)


@pytest.mark.parametrize("value, error, text", [
    ("Hold", ValueError, "between must be 'resize' or 'hold', not 'Hold'"),
    (None, TypeError, "between must be 'resize' or 'hold', not NoneType"),
])
def test_bad_between(store, close, value, error, text):
    with pytest.raises(error) as info:
        run_backtest(weekly(close), store, between=value)
    assert str(info.value) == text


# --------------------------------------------------------------------------- sweeps and the CLI


def test_sweep_rows_follow_the_rule(sweep_store):
    from test_sweep import direct_backtest
    from tessary.backtest._prepare import BinaryPreparedDataStore
    from tessary.strategies import momentum
    from tessary.sweep import STAT_KEYS, run_sweep

    grid = {"lookback": [5], "between": ["resize", "hold"]}
    table = run_sweep(sweep_store, momentum, grid, workers=1, progress=False).table
    assert table["between"].tolist() == ["resize", "hold"] and table["error"].isna().all()
    weights = momentum(BinaryPreparedDataStore(sweep_store).load()["data"], lookback=5)
    # The sweep backtests the strategy's own dates: every one is given.
    for number, extra in ((0, {}), (1, {"given": np.ones(len(weights.index), bool)})):
        want = direct_backtest(sweep_store, weights, **extra)
        np.testing.assert_array_equal(table.loc[number, list(STAT_KEYS)].to_numpy(dtype=float),
                                      [want.stats[k] for k in STAT_KEYS])
    # The keyword sets the rule of every row without a grid value.
    held = run_sweep(sweep_store, momentum, {"lookback": [5]}, workers=1, progress=False, between="hold").table
    np.testing.assert_array_equal(held.loc[0, list(STAT_KEYS)].to_numpy(dtype=float),
                                  table.loc[1, list(STAT_KEYS)].to_numpy(dtype=float))
    with pytest.raises(ValueError, match="between must be 'resize' or 'hold', got 'keep'"):
        run_sweep(sweep_store, momentum, {"lookback": [5], "between": ["keep"]}, progress=False)
    with pytest.raises(ValueError, match="between must be 'resize' or 'hold', not 'keep'"):
        run_sweep(sweep_store, momentum, {"lookback": [5]}, progress=False, between="keep")


def test_cli_run_and_sweep_take_between(store, close, sweep_store, tmp_path, capsys):
    import json

    from tessary.cli import main
    from tessary.strategies import momentum
    from tessary.sweep import run_sweep

    weights = weekly(close)
    path = tmp_path / "w.csv"
    weights.to_csv(path, index_label="date")
    code = main(["run", str(path), str(store.store_dir), "--between", "hold", "--out", str(tmp_path)])
    out, err = capsys.readouterr()
    assert code == 0, err
    report = json.loads(out)
    want = run_backtest(weights, store, between="hold")
    assert report["between"] == "hold" and report["stats"] == pytest.approx(want.to_dict()["stats"], rel=1e-12)
    with pytest.raises(SystemExit) as stopped:
        main(["run", str(path), str(store.store_dir), "--between", "keep"])
    assert stopped.value.code == 2
    assert "invalid choice: 'keep'" in capsys.readouterr().err

    out_dir = tmp_path / "sweep"
    assert main(["sweep", str(sweep_store), "--strategy", "momentum", "--grid", "lookback=5,10", "--between", "hold",
                 "--threads", "1", "--out", str(out_dir)]) == 0
    capsys.readouterr()
    expected = run_sweep(sweep_store, momentum, {"lookback": [5, 10]}, workers=1, progress=False, between="hold")
    pd.testing.assert_frame_equal(pd.read_parquet(out_dir / "sweep.parquet"), expected.table, check_exact=True)
