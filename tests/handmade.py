"""Small hand-made markets written with tessary.local and built into stores by the
build command's own code: a few stocks over a few weeks, every factor the build
reads, and hooks to leave out or change what one test is about."""

import numpy as np
import pandas as pd

from tessary.backtest._prepare import COMPONENT_FACTOR_NAMES
from tessary.build import build_store
from tessary.local import write_database

CODES = ["600000.XSHG", "600004.XSHG", "600006.XSHG", "000001.XSHE", "000002.XSHE", "300001.XSHE"]
INDICES = ("000852.XSHG", "000300.XSHG", "000905.XSHG")


def close_matrix(n_days=40, codes=CODES, seed=1, start="2024-01-02"):
    """Closes of a random walk on business days, dates as a DatetimeIndex."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=n_days)
    steps = rng.normal(0.001, 0.02, size=(n_days, len(codes)))
    close = np.round(10.0 * np.exp(np.cumsum(steps, axis=0)), 2)
    return pd.DataFrame(close, index=dates, columns=list(codes))


def factors_of(close, drop=()):
    """Every factor the build reads, derived from ``close`` (a missing close: a
    suspended day, 0 in rq_is_suspended), without the names in ``drop``."""
    prev = close.ffill().shift(1).fillna(close.bfill().iloc[0])
    trades = close.notna()
    factors = {
        "Close": close,
        "Open": (close * 0.998).round(2),
        "tick_vwap_price_935_1005": (close * 1.001).round(3),
        "tick_vwap_price_925_1000": (close * 0.999).round(3),
        "limit_up": (prev * 1.1).round(2),
        "limit_down": (prev * 0.9).round(2),
        "rq_is_suspended": trades.astype(float),
        "rq_industry_exposure_new": pd.DataFrame(1.0, index=close.index, columns=close.columns),
    }
    for name in COMPONENT_FACTOR_NAMES:
        factors[name] = pd.DataFrame(1.0, index=close.index, columns=close.columns)
    return {name: frame for name, frame in factors.items() if name not in drop}


def index_bars(dates, seed=5):
    rng = np.random.default_rng(seed)
    rows = []
    for code in INDICES:
        level = 1000.0 * np.exp(np.cumsum(rng.normal(0.0005, 0.01, len(dates))))
        rows.append(pd.DataFrame({"ukey": code, "date": dates, "close": level}))
    return pd.concat(rows, ignore_index=True)


def write_market(path, close=None, drop=(), factors=None):
    """A DuckDB file of the local data service holding a hand-made market."""
    close = close_matrix() if close is None else close
    data = factors_of(close, drop) if factors is None else factors
    return write_database(path, data, index_bars(close.index))


def market_store(tmp_path, close=None, drop=(), name="store"):
    """A database and the store built from it; returns (database, store directory)."""
    db = write_market(tmp_path / f"{name}.duckdb", close, drop)
    store = tmp_path / name
    build_store(db, store)
    return db, store
