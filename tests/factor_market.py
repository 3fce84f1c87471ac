"""A small random market with opens, industries and a constituent mask, written into a
binary store, for the factor tests."""

import numpy as np
import pandas as pd

from sweep_market import random_market
from tessary.backtest._prepare import PREPARED_DATA_VERSION, BinaryPreparedDataStore

MASK_KEY = "component__rq_index_components_new_000300.XSHG"


def factor_market(n_dates=60, n_stocks=30, seed=3):
    data = random_market(n_dates=n_dates, n_stocks=n_stocks, seed=seed)
    rng = np.random.default_rng(seed + 100)
    close = data["close_price"]
    opens = close.shift(1).fillna(close) * (1 + rng.normal(0, 0.004, close.shape))
    opens = opens.mask(close.isna())
    data["open_price"] = opens
    industry = np.tile(rng.integers(1, 5, n_stocks).astype(float), (n_dates, 1))
    industry[rng.random(industry.shape) < 0.03] = np.nan
    data["industry_matrix"] = pd.DataFrame(industry, index=close.index, columns=close.columns)
    member = np.where(rng.random(close.shape) < 0.6, 1.0, np.nan)
    data[MASK_KEY] = pd.DataFrame(member, index=close.index, columns=close.columns)
    return data


def spoiled(factor, kind):
    """The factor spoiled one way: "nan" (no value at all), "constant" (every value 1),
    "foreign" (a stock the store does not hold), "late" (a last date after the store's);
    any other kind leaves it as it is."""
    if kind == "nan":
        return factor * np.nan
    if kind == "constant":
        return factor * 0 + 1
    if kind == "foreign":
        return factor.rename(columns={factor.columns[0]: "999999"})
    if kind == "late":
        return factor.rename(index={factor.index[-1]: "20300104"})
    return factor


def write_factor_store(path, **kwargs):
    store = BinaryPreparedDataStore(path)
    data = factor_market(**kwargs)
    store.write_payload({"version": PREPARED_DATA_VERSION, "meta": {}, "data": data})
    return store, data
