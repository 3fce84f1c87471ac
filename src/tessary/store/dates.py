"""The one parser of dates of the package, and the date axis of stored frames."""

from __future__ import annotations

import datetime as _dt
import re

import numpy as np
import pandas as pd

__all__ = ["normalize_yyyymmdd", "date_argument", "date_axis", "date_bounds"]

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


def date_argument(value: object, name: str) -> str | None:
    """The date argument `name` as "YYYYMMDD" (None stays None); a value that is no
    date raises ValueError with a one-line message naming the argument."""
    try:
        return normalize_yyyymmdd(value)
    except ValueError:
        raise ValueError(f"{name} must be a date such as 20240131 or 2024-01-31, not {value!r}") from None


def _fast_date_strings(labels: pd.Index) -> np.ndarray | None:
    """Text labels that are all valid "YYYYMMDD" days already, as an array; else None."""
    if not pd.api.types.is_string_dtype(labels.dtype) or labels.hasnans:
        return None
    text = pd.Series(labels, dtype="str", copy=False)
    if not text.str.fullmatch(r"\d{8}").all():
        return None
    if pd.to_datetime(text, format="%Y%m%d", errors="coerce").isna().any():
        return None
    return text.to_numpy(dtype="<U8")


def date_axis(labels: pd.Index, what: str) -> np.ndarray:
    """Date labels as an ascending, duplicate-free array of "YYYYMMDD" strings."""
    out = _fast_date_strings(labels) if len(labels) else np.empty(0, dtype="<U8")
    if out is None:
        days = []
        for label in labels:
            try:
                day = normalize_yyyymmdd(label)
            except ValueError as exc:
                raise ValueError(f"{what}: the date axis holds {label!r}: {exc}") from None
            if day is None:
                raise ValueError(f"{what}: the date axis holds a missing date")
            days.append(day)
        out = np.array(days, dtype="<U8")
    if len(out) > 1:
        bad = np.flatnonzero(out[1:] <= out[:-1])
        if len(bad):
            i = int(bad[0])
            raise ValueError(
                f"{what}: dates must be ascending without duplicates, but {out[i + 1]} follows {out[i]}"
            )
    return out


def date_bounds(dates: np.ndarray, start: str | None, end: str | None) -> tuple[int, int]:
    """Row range [lo, hi) of the ascending `dates` within the inclusive range start..end."""
    lo = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
    hi = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
    return lo, max(lo, hi)

