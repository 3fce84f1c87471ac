"""An in-memory data-service client and a small synthetic market for builder tests."""

from __future__ import annotations

import contextlib

import numpy as np
import pandas as pd

from tessary import singleton
from tessary.backtest import _prepare as prep
from tessary.exceptions import NetworkError


def suffixed(code: str) -> str:
    return code + (".XSHG" if code.startswith("6") else ".XSHE")


def long_frame(matrix: pd.DataFrame, *, suffix: bool = True, dashed: bool = True) -> pd.DataFrame:
    """A date x code matrix as long rows (ukey, date, value), NaN cells left out."""
    stacked = matrix.stack().reset_index()
    stacked.columns = ["date", "ukey", "value"]
    if suffix:
        stacked["ukey"] = stacked["ukey"].map(suffixed)
    if dashed:
        stacked["date"] = stacked["date"].str.slice(0, 4) + "-" + stacked["date"].str.slice(4, 6) + "-" + stacked["date"].str.slice(6, 8)
    return stacked[["ukey", "date", "value"]]


class FakeClient:
    """Answers factor queries from long frames (name -> ukey/date/value rows).

    shape: "narrow" (a factor column) or "wide" (one column per factor).
    batch_drop: names left out of batch answers; single_empty: names answered
    empty by single queries; batch_error / single_error: raise NetworkError.
    """

    def __init__(self, factors=None, index_daily=None, *, shape="narrow", batch_drop=(), single_empty=(),
                 batch_error=False, single_error=(), index_error=False):
        self.factors = dict(factors or {})
        self.index_daily = index_daily
        self.shape = shape
        self.batch_drop = set(batch_drop)
        self.single_empty = set(single_empty)
        self.batch_error = batch_error
        self.single_error = set(single_error)
        self.index_error = index_error
        self.calls: list[tuple] = []

    def get_factors(self, factor, start_date, end_date):
        batch = not isinstance(factor, str)
        self.calls.append(("get_factors", list(factor) if batch else factor, start_date, end_date))
        if batch and self.batch_error:
            raise NetworkError("batch query failed")
        if not batch and factor in self.single_error:
            raise NetworkError("query failed: " + factor)
        names = list(factor) if batch else [factor]
        dropped = self.batch_drop if batch else self.single_empty
        parts = [self.factors[n].assign(factor=n) for n in names if n in self.factors and n not in dropped]
        if not parts:
            return pd.DataFrame({"ukey": [], "date": [], "value": [], "factor": []})
        out = pd.concat(parts, ignore_index=True)
        if self.shape == "wide":
            out = out.pivot_table(index=["ukey", "date"], columns="factor", values="value", aggfunc="last")
            out = out.reset_index()
            out.columns.name = None
        return out

    def get_index_daily(self, ukeys, start_date, end_date):
        self.calls.append(("get_index_daily", list(ukeys), start_date, end_date))
        if self.index_error:
            raise NetworkError("index query failed")
        return self.index_daily

    def factor_calls(self):
        return [c[1] for c in self.calls if c[0] == "get_factors"]


@contextlib.contextmanager
def registered(client):
    previous = singleton.set_instance(client)
    try:
        yield client
    finally:
        singleton.set_instance(previous)


def market(n_days=6, n_codes=4, seed=0):
    """Source matrices for every build input and component, and an index answer."""
    rng = np.random.default_rng(seed)
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-02", periods=n_days)]
    codes = sorted(f"{600000 + i:06d}" if i % 2 == 0 else f"{i:06d}" for i in range(n_codes))

    def frame(values):
        return pd.DataFrame(values, index=pd.Index(dates), columns=pd.Index(codes))

    close = frame(10 + rng.standard_normal((n_days, n_codes)).cumsum(axis=0))
    mats = {
        "rq_industry_exposure_new": frame(rng.integers(1, 5, (n_days, n_codes)).astype(float)),
        "limit_down": close * 0.9,
        "limit_up": close * 1.1,
        "Close": close,
        "Open": close * (1 + 0.01 * rng.standard_normal((n_days, n_codes))),
        "tick_vwap_price_935_1005": close * 1.001,
        "tick_vwap_price_925_1000": close * 0.999,
        "split_coefficient_to": frame(np.where(rng.random((n_days, n_codes)) < 0.2, 15.0, np.nan)),
        "rq_get_dividend": frame(np.where(rng.random((n_days, n_codes)) < 0.2, 2.0, np.nan)),
        "rq_is_suspended": frame(np.where(rng.random((n_days, n_codes)) < 0.2, 0.0, 1.0)),
    }
    for name in prep.COMPONENT_FACTOR_NAMES:
        mats[name] = frame(np.where(rng.random((n_days, n_codes)) < 0.5, 1.0, 0.0))
    rows = []
    for code in prep.BENCHMARK_INDEX_CODES.values():
        level = 1000 + rng.standard_normal(n_days).cumsum()
        for d, c in zip(dates, level):
            rows.append({"ukey": code, "date": d[:4] + "-" + d[4:6] + "-" + d[6:], "close": c})
    return mats, pd.DataFrame(rows)


def market_client(n_days=6, n_codes=4, seed=0, **kwargs):
    mats, index = market(n_days, n_codes, seed)
    return FakeClient({k: long_frame(v) for k, v in mats.items()}, index, **kwargs), mats
