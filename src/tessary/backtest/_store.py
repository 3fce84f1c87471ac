"""Binary prepared-data store: base class and the helpers shared with the builder."""

from __future__ import annotations

import datetime as _dt
import re

import numpy as np
import pandas as pd

__all__ = ["normalize_yyyymmdd", "clean_matrix", "component_dataset_key"]

_DIGITS8 = re.compile(r"^\d{8}$")
_SEPARATED = re.compile(r"^(\d{4})[-/](\d{1,2})[-/](\d{1,2})$")


def normalize_yyyymmdd(value: object) -> str | None:
    """A date as an eight-digit "YYYYMMDD" string; None gives None.

    Accepts "YYYYMMDD", "YYYY-MM-DD", "YYYY/MM/DD" (surrounding blanks ignored),
    date, datetime and Timestamp objects and yyyymmdd integers. Anything else, or a
    day that does not exist, raises ValueError naming the value.
    """
    if value is None:
        return None
    day: _dt.date | None = None
    try:
        if isinstance(value, (_dt.date, pd.Timestamp)):  # datetime and Timestamp are dates too
            if value is pd.NaT:
                raise ValueError
            day = _dt.date(value.year, value.month, value.day)
        elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
            text = str(int(value))
            if _DIGITS8.match(text):
                day = _dt.date(int(text[:4]), int(text[4:6]), int(text[6:]))
        elif isinstance(value, str):
            text = value.strip()
            if _DIGITS8.match(text):
                day = _dt.date(int(text[:4]), int(text[4:6]), int(text[6:]))
            else:
                m = _SEPARATED.match(text)
                if m:
                    day = _dt.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    except ValueError:
        day = None
    if day is None:
        raise ValueError(f"not a date in YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD form: {value!r}")
    return f"{day.year:04d}{day.month:02d}{day.day:02d}"


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """The stored form of a freshly pivoted factor matrix: float64 values with +-inf
    as NaN, dates ascending, stock codes ascending, axes without names."""
    values = matrix.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    values[np.isinf(values)] = np.nan
    index = pd.Index(matrix.index).rename(None)
    columns = pd.Index(matrix.columns).rename(None)
    out = pd.DataFrame(values, index=index, columns=columns, copy=False)
    if not out.index.is_monotonic_increasing:
        out = out.sort_index()
    if not out.columns.is_monotonic_increasing:
        out = out.sort_index(axis=1)
    return out


def component_dataset_key(name: object) -> str:
    """Dataset key of the constituent mask of component factor ``name``.

    "component__" + the name's text: distinct names give distinct keys, and none of
    them equals a base dataset key (no base key starts with "component__").
    """
    return "component__" + str(name)


class BinaryPreparedDataStoreBase:
    """Base of the binary prepared-data store (on-disk format to follow)."""

    def __init__(self, store_dir, matrix_dtype, version, float_dtype):
        from pathlib import Path

        self.store_dir = Path(store_dir).expanduser()
        self.matrix_dtype = dict(matrix_dtype)
        self.version = version
        self.float_dtype = float_dtype
        self.metadata_path = self.store_dir / "metadata.pkl"
