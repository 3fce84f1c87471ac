"""Weight matrices as researchers hold them, brought to the store's labels.

Dates may be a DatetimeIndex, date objects, "YYYYMMDD" / "YYYY-MM-DD" strings or
yyyymmdd integers; they become "YYYYMMDD" strings. Stock codes may carry an exchange
suffix or prefix ("600000.XSHG", "600000.SH", "SH600000") or be integers; they become
six-digit strings. Weights given on rebalance dates only are carried forward onto the
trading days in between.
"""

from __future__ import annotations

import re

import numpy as np
import pandas as pd

from tessary.store.dates import normalize_yyyymmdd

__all__ = ["normalize_dates", "normalize_codes", "weight_values", "carry_forward", "first_few"]

# "600000", "600000.XSHG", "600000.sh", "SH600000", "sz.000001", "BJ430047"
_CODE = re.compile(r"^(?:[A-Z]{2}\.?)?(\d{6})(?:\.[A-Z]{2,4})?$")
_SHOWN = 3


def first_few(labels, count: int = _SHOWN) -> str:
    """The first ``count`` labels as text for a message, with "..." when there are more."""
    labels = list(labels)
    text = ", ".join(repr(x) if isinstance(x, str) else str(x) for x in labels[:count])
    return text + (", ..." if len(labels) > count else "")


def _unique_labels(labels: list, bad: list, not_labels: str, accepted: str, named_twice: str) -> pd.Index:
    """``labels`` as an object Index; ValueError when any were ``bad`` (how many
    ``not_labels``, the first few, what is ``accepted``) or when a label occurs twice
    (how many are ``named_twice``, the first few)."""
    if bad:
        raise ValueError(f"{len(bad)} {not_labels} ({first_few(bad)}); {accepted}")
    result = pd.Index(labels, dtype=object)
    if not result.is_unique:
        twice = result[result.duplicated()].unique()
        raise ValueError(f"{len(twice)} {named_twice}: {first_few(twice)}")
    return result


def normalize_dates(index: pd.Index) -> pd.Index:
    """The dates of ``index`` as "YYYYMMDD" strings; ValueError naming how many labels
    are not dates (and the first few), or which dates occur twice."""
    if isinstance(index, pd.DatetimeIndex):
        if index.hasnans:
            raise ValueError(f"the weights' index holds {int(index.isna().sum())} missing date(s) (NaT)")
        dates, bad = list(index.strftime("%Y%m%d")), []
    else:
        dates, bad = [], []
        for label in index:
            try:
                dates.append(normalize_yyyymmdd(label))
            except ValueError:
                bad.append(label)
        bad += [label for label, day in zip(index, dates) if day is None]
    return _unique_labels(
        dates,
        bad,
        "label(s) of the weights' index are not dates",
        'dates may be a DatetimeIndex, "YYYYMMDD" or "YYYY-MM-DD" strings or yyyymmdd integers',
        "date(s) occur more than once in the weights",
    )


def _code(label: object) -> str | None:
    if isinstance(label, (int, np.integer)) and not isinstance(label, bool):
        return f"{int(label):06d}" if 0 <= int(label) < 1_000_000 else None
    if not isinstance(label, str):
        return None
    match = _CODE.match(label.strip().upper())
    return match.group(1) if match else None


def normalize_codes(columns: pd.Index) -> pd.Index:
    """The stock codes of ``columns`` as six-digit strings; ValueError naming how many
    labels are not stock codes (and the first few), or codes named twice."""
    codes = [_code(label) for label in columns]
    bad = [label for label, code in zip(columns, codes) if code is None]
    return _unique_labels(
        codes,
        bad,
        "column(s) of the weights are not stock codes",
        'codes may be "600000", "600000.XSHG", "600000.SH" or "SH600000"',
        "stock(s) are named by more than one column of the weights",
    )


def weight_values(weights: pd.DataFrame) -> np.ndarray:
    """The weights as a new float64 array (missing cells NaN); ValueError for a cell that
    is not a number or is infinite."""
    try:
        values = weights.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"the weights hold a value that is not a number ({exc})") from None
    infinite = np.isinf(values)
    if infinite.any():
        rows, cols = np.nonzero(infinite)
        raise ValueError(
            f"{int(infinite.sum())} weight(s) are infinite (first: {weights.index[rows[0]]!s} "
            f"{weights.columns[cols[0]]!s}); a weight is a fraction of the capital"
        )
    return values


def carry_forward(weights: pd.DataFrame, days: pd.Index) -> pd.DataFrame:
    """``weights`` (sorted "YYYYMMDD" rows) on the trading ``days``: each day takes the
    whole row of the latest given date on or before it, so weights given on rebalance
    dates only hold until the next given date. Every day must lie on or after the first
    given date."""
    positions = weights.index.get_indexer(days, method="ffill")
    if (positions < 0).any():  # pragma: no cover - the caller starts at the first given date
        raise ValueError("a trading day lies before the first date of the weights")
    values = weights.to_numpy()[positions]
    return pd.DataFrame(values, index=days, columns=weights.columns)
