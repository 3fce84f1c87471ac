"""Helpers shared by the backtest engines: market-array alignment, a guarded Sharpe
ratio and conversion of date-like indexes."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

# The market frames in the order ``_build_market_arrays`` receives them.
from tessary.backtest._market_frames import MARKET_FRAMES

__all__ = ["_build_market_arrays", "safe_sharpe", "_with_datetime_index"]

_FLOAT_KEYS = ("split_arr", "dividend_arr", "close_arr", "prev_close_arr", "buy_price_arr", "sell_price_arr")


_SHOWN_LABELS = 3


def _absent_labels(wanted: pd.Index, present: pd.Index) -> pd.Index:
    """The labels of ``wanted`` that ``present`` lacks (none when both are equal)."""
    # The usual shapes first, without hashing: the same labels, or the frame's labels
    # with one extra leading or trailing run (the signal's index is one date longer
    # than the dates it is traded on). This runs on every backtest, with the GIL held,
    # so it must cost next to nothing when nothing is absent.
    if wanted.equals(present):
        return wanted[:0]
    extra = len(present) - len(wanted)
    if extra > 0 and (present[extra:].equals(wanted) or present[: len(wanted)].equals(wanted)):
        return wanted[:0]
    if isinstance(wanted, pd.DatetimeIndex) != isinstance(present, pd.DatetimeIndex):
        # Timestamps against text: compared as objects, so "20240105" never matches a
        # Timestamp (pandas 2 would parse the text and match it, with a warning).
        return wanted[~wanted.astype(object).isin(present.astype(object))]
    if isinstance(wanted, pd.DatetimeIndex):
        return wanted[~wanted.isin(present)]
    # As plain objects: hashing Python strings is far quicker than the membership test
    # of pandas' Arrow-backed string indexes.
    return wanted[~pd.Index(np.asarray(wanted, dtype=object), dtype=object).isin(np.asarray(present, dtype=object))]


def _label_hint(absent: pd.Index, present: pd.Index, what: str) -> str:
    """The usual cause of labels that do not meet, judged from their kinds."""
    if what == "date":
        if isinstance(absent, pd.DatetimeIndex) != isinstance(present, pd.DatetimeIndex):
            return "the weights and the market label dates differently (a DatetimeIndex against \"YYYYMMDD\" strings?)"
        return "dates the market does not cover, or labelled in another form (\"YYYYMMDD\" strings are the store's)"
    if any(isinstance(label, str) and not label.isdigit() for label in absent[:20]):
        return "stock codes with an exchange suffix or prefix (\"600000.XSHG\") against six-digit codes?"
    return "stocks the market does not cover, or codes in another form (six-digit strings are the store's)"


def _check_labels(name: str, frame: pd.DataFrame, pnl_index: pd.Index, columns: pd.Index) -> None:
    """Raise ValueError when ``frame`` lacks a date of ``pnl_index`` or a stock of ``columns``.

    Reindexing would fill such cells with NaN and the engine would silently never hold
    the stock (or value the day at nothing): a labelling mistake must not look like a
    market without prices. NaN cells inside labels the frame has are left alone.
    """
    for what, wanted, present in (("date", pnl_index, frame.index), ("stock code", columns, frame.columns)):
        absent = _absent_labels(wanted, present)
        if len(absent):
            shown = ", ".join(repr(x) if isinstance(x, str) else str(x) for x in list(absent[:_SHOWN_LABELS]))
            more = ", ..." if len(absent) > _SHOWN_LABELS else ""
            raise ValueError(
                f"market frame {name!r} lacks {len(absent)} {what}(s) of the weights ({shown}{more}); "
                f"usual cause: {_label_hint(absent, present, what)}"
            )


def _aligned_values(frame: pd.DataFrame, pnl_index: pd.Index, columns: pd.Index) -> np.ndarray:
    """The values of ``frame`` on ``pnl_index`` x ``columns``.

    Without copying when the frame already has exactly ``columns`` and either the
    index ``pnl_index`` or a one-row-longer index that ends in it (the source index of
    the signal: its first row is sliced off). Otherwise the frame is reindexed (it
    holds every label, see ``_check_labels``), which raises pandas' error for
    duplicates.
    """
    if frame.columns.equals(columns):
        index = frame.index
        n = len(pnl_index)
        if len(index) == n and index.equals(pnl_index):
            return frame.to_numpy(copy=False)
        if len(index) == n + 1 and index[1:].equals(pnl_index):
            return frame.to_numpy(copy=False)[1:]
    return frame.reindex(index=pnl_index, columns=columns).to_numpy(copy=False)


def _as_float(values: np.ndarray) -> np.ndarray:
    if values.dtype == np.float64:
        return values
    if values.dtype == object:
        # None and pandas' missing markers become NaN; text raises numpy's error.
        values = np.where(pd.isna(values), np.nan, values)
    return values.astype(np.float64)


def _as_bool(values: np.ndarray) -> np.ndarray:
    if values.dtype == np.bool_:
        return values
    # A cell that is missing (NaN, None, pd.NA) counts as False: not buyable, or not
    # barred from selling.
    return np.where(pd.isna(values), False, values).astype(np.bool_)


def _build_market_arrays(pnl_index: pd.Index, columns: pd.Index, *frames: pd.DataFrame) -> dict[str, np.ndarray]:
    """The eight market arrays of a backtest, aligned to ``pnl_index`` x ``columns``.

    ``frames`` are the market frames in the order of ``MARKET_FRAMES`` (can_buy_stock,
    cant_sell_stock, split_factor, dividend_factor, close_price, prev_close, buy_price,
    sell_price). Row r of every array belongs to ``pnl_index[r]``, column c to ``columns[c]``.
    Every frame must have every date of ``pnl_index`` and every stock of ``columns``
    among its labels (it may have more, in any order): a ValueError names the first
    frame that lacks some, how many and the first few. Price and factor arrays are
    float64 with NaN for missing cells. The feasibility arrays are boolean; a missing
    cell counts as False. Frames that already match are not copied, so the arrays may
    be read-only views of the caller's data: treat them as read-only.
    """
    if len(frames) != len(MARKET_FRAMES):
        raise TypeError(f"_build_market_arrays() takes {len(MARKET_FRAMES)} market frames, {len(frames)} given")
    market = dict(zip(MARKET_FRAMES, frames))
    for name, frame in market.items():
        _check_labels(name, frame, pnl_index, columns)

    def aligned(name: str) -> np.ndarray:
        return _aligned_values(market[name], pnl_index, columns)

    return {
        "prev_close_arr": _as_float(aligned("prev_close")),
        "can_buy_arr": _as_bool(aligned("can_buy_stock")),
        "cant_sell_arr": _as_bool(aligned("cant_sell_stock")),
        "close_arr": _as_float(aligned("close_price")),
        "buy_price_arr": _as_float(aligned("buy_price")),
        "sell_price_arr": _as_float(aligned("sell_price")),
        "split_arr": _as_float(aligned("split_factor")),
        "dividend_arr": _as_float(aligned("dividend_factor")),
    }


def safe_sharpe(series: Any, periods: int = 252) -> float:
    """Annualised Sharpe ratio of the finite values of ``series``.

    mean / sample standard deviation (ddof=1) x sqrt(periods). NaN when fewer than two
    finite values remain or the deviation is zero or undefined; never raises for
    empty, constant or all-NaN input.
    """
    values = np.asarray(series, dtype=np.float64).ravel()
    values = values[np.isfinite(values)]
    if values.size < 2:
        return math.nan
    if values.min() == values.max():
        # constant: the deviation is zero in exact arithmetic, whatever rounding says
        return math.nan
    std = float(np.std(values, ddof=1))
    if not math.isfinite(std) or std == 0.0:
        return math.nan
    return float(np.mean(values)) / std * math.sqrt(periods)


def _to_datetime_index(index: pd.Index) -> pd.DatetimeIndex:
    if isinstance(index, pd.DatetimeIndex):
        return index
    if len(index) == 0:
        return pd.DatetimeIndex([])
    if pd.api.types.is_integer_dtype(index.dtype):
        # yyyymmdd numbers such as 20240105
        return pd.DatetimeIndex(pd.to_datetime(index.astype(str), format="%Y%m%d"))
    if pd.api.types.is_string_dtype(index.dtype):
        text = index.astype(str)
        if text.str.fullmatch(r"\d{8}").all():
            return pd.DatetimeIndex(pd.to_datetime(text, format="%Y%m%d"))
        return pd.DatetimeIndex(pd.to_datetime(text))
    # datetime / date / Timestamp objects
    return pd.DatetimeIndex(pd.to_datetime(index))


def _with_datetime_index(obj: pd.Series | pd.DataFrame) -> pd.Series | pd.DataFrame:
    """A new Series or DataFrame with the same values in the same order on a
    DatetimeIndex. Accepts datetimes, "YYYYMMDD" strings, dashed date strings and
    yyyymmdd integers; anything pandas cannot read as a date raises its error."""
    result = obj.copy()
    result.index = _to_datetime_index(obj.index)
    return result
