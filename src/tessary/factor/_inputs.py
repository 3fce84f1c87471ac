"""What an evaluation reads: the factor brought to the store's labels, the market
datasets around its dates, and the cross-section of every date."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest import _weights

#: Rows of market data needed past the last factor date: the longest forward return
#: (or the 20 lags of the decay) plus the open that ends it.
DECAY_LAGS = 20
_LONG_COLUMNS = ("date", "code", "value")


def _renamed(exc: ValueError) -> ValueError:
    text = str(exc).replace("the weights'", "the factor's").replace("weights", "factor")
    return ValueError(text)


def _values(frame: pd.DataFrame) -> np.ndarray:
    try:
        values = frame.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"the factor holds a value that is not a number ({exc})") from None
    infinite = np.isinf(values)
    if infinite.any():
        rows, cols = np.nonzero(infinite)
        raise ValueError(f"{int(infinite.sum())} factor value(s) are infinite (first: {frame.index[rows[0]]!s} "
                         f"{frame.columns[cols[0]]!s})")
    return values


def _pivot_long(long: pd.DataFrame) -> pd.DataFrame:
    if not len(long):
        raise ValueError("the factor has no rows")
    try:
        dates = pd.Index(pd.unique(long["date"]))
        codes = pd.Index(pd.unique(long["code"]))
        day_of = dict(zip(dates, _weights.normalize_dates(dates)))
        code_of = dict(zip(codes, _weights.normalize_codes(codes)))
    except ValueError as exc:
        raise _renamed(exc) from None
    day = long["date"].map(day_of)
    code = long["code"].map(code_of)
    twice = pd.Index(list(zip(day, code))).duplicated()
    if twice.any():
        first = int(np.flatnonzero(twice)[0])
        raise ValueError(f"{int(twice.sum())} (date, code) pair(s) occur more than once in the factor "
                         f"(first: {day.iloc[first]} {code.iloc[first]})")
    value = pd.to_numeric(long["value"], errors="coerce").to_numpy(dtype=np.float64)
    bad = long["value"].notna().to_numpy() & np.isnan(value)
    if bad.any():
        raise ValueError(f"{int(bad.sum())} factor value(s) are not numbers (first: {long['value'].iloc[int(np.flatnonzero(bad)[0])]!r})")
    rows, cols = sorted(set(day)), sorted(set(code))
    out = np.full((len(rows), len(cols)), np.nan)
    out[pd.Index(rows).get_indexer(day), pd.Index(cols).get_indexer(code)] = value
    return pd.DataFrame(out, index=pd.Index(rows, dtype=object), columns=pd.Index(cols, dtype=object))


def factor_frame(factor: Any) -> pd.DataFrame:
    """The factor as a new float64 frame on "YYYYMMDD" dates (ascending) x six-digit
    codes, from a wide date x stock frame or a long frame of date, code, value."""
    if not isinstance(factor, pd.DataFrame):
        raise TypeError(f"factor must be a pandas DataFrame (dates x stocks, or date/code/value rows), "
                        f"not {type(factor).__name__}")
    if set(_LONG_COLUMNS) <= set(map(str, factor.columns)) and len(factor.columns) == 3:
        frame = _pivot_long(factor)
    else:
        if factor.shape[1] == 0 or factor.shape[0] == 0:
            raise ValueError("the factor has no " + ("stock columns" if factor.shape[1] == 0 else "dates"))
        try:
            frame = pd.DataFrame(_values(factor), index=_weights.normalize_dates(factor.index),
                                 columns=_weights.normalize_codes(factor.columns)).sort_index()
        except ValueError as exc:
            raise _renamed(exc) from None
    if np.isinf(frame.to_numpy()).any():
        raise ValueError("the factor holds infinite values")
    return frame


def check_in_store(frame: pd.DataFrame, days: pd.Index, codes: pd.Index, store: Any) -> None:
    """ValueError naming the factor's dates or codes that the store lacks."""
    missing = frame.index[~frame.index.isin(days)]
    if len(missing):
        raise ValueError(f"{len(missing)} date(s) of the factor are not trading days of the store {store.store_dir} "
                         f"(which covers {days[0]}..{days[-1]}): {_weights.first_few(missing)}")
    missing = frame.columns[~frame.columns.isin(codes)]
    if len(missing):
        raise ValueError(f"{len(missing)} stock(s) of the factor are not in the store {store.store_dir}: "
                         f"{_weights.first_few(missing)}")


def component_key(store: Any, universe: str) -> str:
    """The dataset key of the constituent mask named by ``universe``: a full component
    name, or an index code such as "000300" within one."""
    from tessary.store import component_dataset_key

    datasets = store.load_metadata().get("datasets", {})
    names = [key[len("component__"):] for key in datasets if str(key).startswith("component__")]
    for name in names:
        code = name.rsplit("_", 1)[-1].split(".", 1)[0]
        if universe in (name, code):
            return component_dataset_key(name)
    known = ", ".join(n.rsplit("_", 1)[-1].split(".", 1)[0] for n in names) or "none"
    raise ValueError(f"unknown universe {universe!r} (the store holds the constituent masks of: {known})")


@dataclass
class Market:
    """The datasets of the factor's span on the factor's codes: ``days`` the store's
    trading days from the first factor date to some rows past the last; ``day_of`` the
    row of each factor date in ``days``; matrices row-major (days x codes)."""

    days: pd.Index
    day_of: np.ndarray
    open: np.ndarray
    split: np.ndarray
    dividend: np.ndarray
    can_buy: np.ndarray
    industry: np.ndarray | None
    member: np.ndarray | None


def _matrix(frame: pd.DataFrame, days: pd.Index, codes: pd.Index, fill: Any, dtype: Any) -> np.ndarray:
    if not (frame.index.equals(days) and frame.columns.equals(codes)):
        frame = frame.reindex(index=days, columns=codes, fill_value=fill)
    return np.ascontiguousarray(frame.to_numpy(dtype=dtype, na_value=fill) if dtype is not bool
                                else frame.to_numpy(dtype=bool))


def load_market(store: Any, store_days: pd.Index, dates: pd.Index, codes: pd.Index, *, horizon: int,
                universe: Any, industry: bool) -> Market:
    first = store_days.get_loc(dates[0])
    last = min(len(store_days) - 1, store_days.get_loc(dates[-1]) + horizon + 1)
    days = store_days[first:last + 1]
    keys = ["open_price", "rq_get_split", "rq_get_dividend", "can_buy_stock"]
    datasets = store.load_metadata().get("datasets", {})
    if industry:
        if "industry_matrix" not in datasets:
            raise ValueError(f"the store {store.store_dir} holds no industry matrix: cannot neutralize by industry")
        keys.append("industry_matrix")
    mask_key = component_key(store, universe) if isinstance(universe, str) else None
    if mask_key:
        keys.append(mask_key)
    for key in keys[:4]:
        if key not in datasets:
            raise ValueError(f"the store {store.store_dir} holds no {key} dataset")
    data = store.load(start_date=days[0], end_date=days[-1], keys=keys, mmap=True)["data"]
    member = None
    if mask_key:
        member = _matrix(data[mask_key], days, codes, np.nan, np.float64) > 0
    elif isinstance(universe, pd.DataFrame):
        member = universe_matrix(universe, days, codes)
    return Market(
        days=days,
        day_of=days.get_indexer(dates).astype(np.int64),
        open=_matrix(data["open_price"], days, codes, np.nan, np.float64),
        split=_matrix(data["rq_get_split"], days, codes, np.nan, np.float64),
        dividend=_matrix(data["rq_get_dividend"], days, codes, np.nan, np.float64),
        can_buy=_matrix(data["can_buy_stock"], days, codes, False, bool),
        industry=_matrix(data["industry_matrix"], days, codes, np.nan, np.float64) if industry else None,
        member=member,
    )


def universe_matrix(universe: pd.DataFrame, days: pd.Index, codes: pd.Index) -> np.ndarray:
    """A boolean date x stock universe on ``days`` x ``codes`` (absent cells: not members)."""
    try:
        values = universe.to_numpy(dtype=bool, na_value=False)
        frame = pd.DataFrame(values, index=_weights.normalize_dates(universe.index),
                             columns=_weights.normalize_codes(universe.columns))
    except (TypeError, ValueError) as exc:
        raise ValueError(f"the universe must be a boolean date x stock frame: {_renamed(ValueError(exc))}") from None
    return np.ascontiguousarray(frame.reindex(index=days, columns=codes, fill_value=False).to_numpy(dtype=bool))


def industry_labels(industry: np.ndarray) -> tuple[np.ndarray, int]:
    """Industries as labels 1..k (0: none) and k."""
    finite = np.isfinite(industry)
    kinds, inverse = np.unique(industry[finite], return_inverse=True)
    labels = np.zeros(industry.shape, dtype=np.int32)
    labels[finite] = inverse.astype(np.int32) + 1
    return labels, max(len(kinds), 1)
