"""Helpers shared by the backtest engines: market-array alignment, a guarded Sharpe
ratio and conversion of date-like indexes."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["_build_market_arrays", "safe_sharpe", "_with_datetime_index"]

_FLOAT_KEYS = ("split_arr", "dividend_arr", "close_arr", "prev_close_arr", "buy_price_arr", "sell_price_arr")


def _aligned_values(frame: pd.DataFrame, pnl_index: pd.Index, columns: pd.Index) -> np.ndarray:
    """The values of ``frame`` on ``pnl_index`` x ``columns``.

    Without copying when the frame already has exactly ``columns`` and either the
    index ``pnl_index`` or a one-row-longer index that ends in it (the source index of
    the signal: its first row is sliced off). Otherwise the frame is reindexed, which
    fills dates or stocks it lacks with NaN and raises pandas' error for duplicates.
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


def _build_market_arrays(
    pnl_index: pd.Index,
    columns: pd.Index,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
) -> dict[str, np.ndarray]:
    """The eight market arrays of a backtest, aligned to ``pnl_index`` x ``columns``.

    Row r of every array belongs to ``pnl_index[r]``, column c to ``columns[c]``.
    Price and factor arrays are float64 with NaN for missing cells (dates or stocks a
    frame lacks included). The feasibility arrays are boolean; a cell that is missing
    after alignment counts as False. Frames that already match are not copied, so the
    arrays may be read-only views of the caller's data: treat them as read-only.
    """
    return {
        "prev_close_arr": _as_float(_aligned_values(prev_close, pnl_index, columns)),
        "can_buy_arr": _as_bool(_aligned_values(can_buy_stock, pnl_index, columns)),
        "cant_sell_arr": _as_bool(_aligned_values(cant_sell_stock, pnl_index, columns)),
        "close_arr": _as_float(_aligned_values(close_price, pnl_index, columns)),
        "buy_price_arr": _as_float(_aligned_values(buy_price, pnl_index, columns)),
        "sell_price_arr": _as_float(_aligned_values(sell_price, pnl_index, columns)),
        "split_arr": _as_float(_aligned_values(split_factor, pnl_index, columns)),
        "dividend_arr": _as_float(_aligned_values(dividend_factor, pnl_index, columns)),
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
