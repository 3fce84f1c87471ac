"""A small random market written into a binary store, for the sweep tests."""

import numpy as np
import pandas as pd
import pytest

from tessary.backtest._prepare import PREPARED_DATA_VERSION, BinaryPreparedDataStore

BENCHMARKS = ("000852", "000300", "000905")
#: The grid both the thread and the cluster tests sweep: strategy and pipeline names.
GRID = {"lookback": [5, 10], "share": [0.1, 0.3], "rolling_window": [0, 3], "fee": [1e-4, 3e-4]}


def random_market(n_dates=120, n_stocks=40, seed=0, start="2021-01-04"):
    """The engine's eight market matrices (and a few flags and events) over business days."""
    rng = np.random.default_rng(seed)
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range(start, periods=n_dates)]
    codes = [f"{600000 + 7 * i:06d}" for i in range(n_stocks)]
    close = 10.0 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, size=(n_dates, n_stocks)), axis=0))
    prev = np.vstack([close[:1] * 0.99, close[:-1]])
    close[rng.random(close.shape) < 0.02] = np.nan  # suspended days
    split = np.where(rng.random(close.shape) < 0.002, 1.5, np.nan)
    dividend = np.where(rng.random(close.shape) < 0.004, 0.2, np.nan)

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    data = {
        "close_price": frame(close),
        "prev_close": frame(prev),
        "buy_price": frame(close * (1 + rng.normal(0, 0.002, close.shape))),
        "sell_price": frame(close * (1 + rng.normal(0, 0.002, close.shape))),
        "rq_get_split": frame(split),
        "rq_get_dividend": frame(dividend),
        "can_buy_stock": frame(rng.random(close.shape) > 0.05),
        "cant_sell_stock": frame(rng.random(close.shape) < 0.03),
        "benchmark_dict": {
            name: pd.Series(rng.normal(0.0002, 0.012, n_dates), index=dates, name="index_daily_return")
            for name in BENCHMARKS
        },
    }
    return data


def write_store(path, **kwargs):
    store = BinaryPreparedDataStore(path)
    store.write_payload({"version": PREPARED_DATA_VERSION, "meta": {}, "data": random_market(**kwargs)})
    return store


@pytest.fixture(scope="module")
def sweep_store(tmp_path_factory):
    """The sweep tests' store: 90 dates x 30 stocks (a fixture of every test module,
    this file being a plugin of the test suite)."""
    path = tmp_path_factory.mktemp("sweep_store")
    write_store(path, n_dates=90, n_stocks=30, seed=2)
    return path


def assert_same_sweep_when_broken(store, grid, monkeypatch, owner, name):
    """A sweep of momentum over ``grid`` in which ``owner.name`` fails (a shared step
    of the sweep) gives the table and returns of the sweep in which it works: each
    variant falls back to its own run."""
    from tessary.strategies import momentum
    from tessary.sweep import run_sweep

    expected = run_sweep(store, momentum, grid, workers=1, progress=False)

    def broken(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(owner, name, broken)
    result = run_sweep(store, momentum, grid, workers=1, progress=False)
    pd.testing.assert_frame_equal(result.table, expected.table, check_exact=True)
    pd.testing.assert_frame_equal(result.daily_returns, expected.daily_returns, check_exact=True)
