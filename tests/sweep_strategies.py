"""Strategies for the sweep tests, importable by the worker processes of a cluster."""

import threading
import time

import pandas as pd

from tessary.strategies import momentum

calls = []
_lock = threading.Lock()


def counted(market, lookback=10, share=0.2):
    """The built-in momentum, recording each call (in this process)."""
    with _lock:
        calls.append((lookback, share))
    return momentum(market, lookback=lookback, share=share)


def picky(market, lookback=10, fail_on=None):
    """Momentum that raises for one lookback."""
    if lookback == fail_on:
        raise ValueError(f"no weights for lookback {lookback}")
    return momentum(market, lookback=lookback)


def shaped(market, kind="ok"):
    """Weights that are right, or wrong in one way, by ``kind``."""
    weights = momentum(market, lookback=5)
    if kind == "list":
        return weights.to_numpy().tolist()
    if kind == "foreign_date":
        return weights.rename(index={weights.index[3]: "19990101"})
    if kind == "foreign_code":
        return weights.rename(columns={weights.columns[0]: "999999"})
    if kind == "infinite":
        weights = weights.copy()
        weights.iloc[4, 0] = float("inf")
        return weights
    if kind == "bool":
        return weights > 0
    if kind == "subset":  # fewer dates and stocks than the market: allowed
        return weights.iloc[10:, ::2]
    return weights


def slow(market, lookback=10, pause=0.0):
    """Momentum after a pause, so that tasks are still running when a worker is killed."""
    time.sleep(pause)
    return momentum(market, lookback=lookback)


def mutating(market, lookback=10):
    """A careless strategy that writes into the market it is given."""
    market["close_price"] = market["close_price"] * 0.0
    market["extra"] = pd.DataFrame()
    return momentum(market, lookback=lookback)
