"""The value checks every backtest door shares.

``run_backtest``, the trade records (``compute_records``), the sweep and the engine's
own ``run_strategy_backtest_core`` refuse the same impossible input with the same
messages: a capital that is not finite and positive, fees outside [0, 1), a negative
smoothing window, weights that are not real numbers or are infinite, dates that are
not strictly increasing, a stock named twice, and a buy price of zero or less on a
day the stock may be bought (a buy would gain its whole price).

The checks of the low-level doors come after those doors' own argument rules: a value
of the wrong type is left to them, so their type messages stay as they are.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest import _weights

__all__ = [
    "check_number",
    "check_window",
    "check_costs",
    "check_engine_inputs",
    "check_weight_frame",
    "check_buy_prices",
]



# --------------------------------------------------------------------------- scalars


def check_number(name: str, value: Any, low: float, high: float | None, low_open: bool) -> float:
    """``value`` as a float when it is a finite number above ``low`` (or at least
    ``low`` when not ``low_open``) and below ``high``; TypeError for a non-number,
    ValueError naming the range otherwise."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    value = float(value)
    ok = math.isfinite(value) and (value > low if low_open else value >= low) and (high is None or value < high)
    if not ok:
        bound = f"{'>' if low_open else '>='} {low:g}" + ("" if high is None else f" and < {high:g}")
        raise ValueError(f"{name} must be finite and {bound}, not {value!r}")
    return value


def check_window(rolling_window: Any) -> int:
    """The smoothing window as an int: an integer (not a bool) of at least 0."""
    if isinstance(rolling_window, bool) or not isinstance(rolling_window, (int, np.integer)):
        raise TypeError(f"rolling_window must be an int, not {type(rolling_window).__name__}")
    if rolling_window < 0:
        raise ValueError(f"rolling_window must not be negative, not {rolling_window}")
    return int(rolling_window)


def check_costs(total_money: Any, fee: Any, rule_fee: Any) -> tuple[float, float, float]:
    """The capital (finite, > 0) and the two fee rates (finite, in [0, 1)) as floats."""
    return (
        check_number("total_money", total_money, 0.0, None, low_open=True),
        check_number("fee", fee, 0.0, 1.0, low_open=False),
        check_number("rule_fee", rule_fee, 0.0, 1.0, low_open=False),
    )


def _engine_float(value: Any) -> float | None:
    """``value`` as the engine's binder converts a float argument (Python's float
    conversion, text refused), or None when the binder would reject it."""
    if isinstance(value, (str, bytes, bytearray)):
        return None
    try:
        return float(value)
    except (TypeError, ValueError, OverflowError):
        return None


def _engine_int(value: Any) -> int | None:
    """``value`` as the engine's binder converts an int argument (an int as is, other
    numbers truncated by ``int()``), or None when the binder would reject it."""
    if isinstance(value, int):
        return int(value)
    if isinstance(value, numbers.Number):
        try:
            return int(value)
        except (TypeError, ValueError, OverflowError):
            return None
    return None


# --------------------------------------------------------------------------- frames


def _real_dtype(dtype: Any) -> bool:
    return (
        pd.api.types.is_numeric_dtype(dtype)
        and not pd.api.types.is_bool_dtype(dtype)
        and not pd.api.types.is_complex_dtype(dtype)
    )


def _first_not_increasing(index: pd.Index) -> int | None:
    """The first position whose label is not greater than the one before it, or None."""
    if index.is_monotonic_increasing and index.is_unique:
        return None
    labels = list(index)
    for i in range(1, len(labels)):
        try:
            if not labels[i] > labels[i - 1]:
                return i
        except TypeError:  # labels of kinds that have no order
            return i
    return None  # pragma: no cover - pandas found an order problem, so the loop does


def check_weight_frame(frame: pd.DataFrame, name: str = "strategy_matrix") -> None:
    """A weight matrix a backtest can trade: real-number columns (no bool, datetime,
    complex or object weights), dates strictly increasing, every stock named once,
    no infinite weight (NaN is allowed: not held)."""
    dtypes = frame.dtypes
    if all(_real_dtype(dtype) for dtype in set(dtypes)):  # each distinct dtype once: 5,000 columns are common
        odd = []
    else:
        odd = [(col, dtype) for col, dtype in dtypes.items() if not _real_dtype(dtype)]
    if odd:
        kinds = ", ".join(sorted({str(dtype) for _, dtype in odd}))
        raise TypeError(
            f"{name} must hold weights as real numbers (float or int), not {kinds} "
            f"({len(odd)} column(s): {_weights.first_few(col for col, _ in odd)})"
        )
    at = _first_not_increasing(frame.index)
    if at is not None:
        before, label = frame.index[at - 1], frame.index[at]
        relation = "repeats" if _same(before, label) else "comes after"
        raise ValueError(
            f"the dates of {name} must be strictly increasing: {label!r} at row {at} {relation} {before!r}"
        )
    if frame.columns.has_duplicates:
        twice = frame.columns[frame.columns.duplicated()].unique()
        raise ValueError(f"{name} names {len(twice)} stock(s) more than once: {_weights.first_few(twice)}")
    infinite = _weights.first_infinite(frame.to_numpy(dtype=np.float64, na_value=np.nan), frame)
    if infinite is not None:
        count, first = infinite
        raise ValueError(
            f"{name} holds {count} infinite weight(s) (first: {first}); a weight is a fraction of the capital"
        )


def _same(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):
        return False


def check_buy_prices(weights: pd.DataFrame, can_buy_stock: Any, buy_price: Any) -> None:
    """ValueError when a buy price is zero or negative on a traded date (every date of
    ``weights`` but the first) for a stock of ``weights`` that may be bought that day.
    Frames whose labels do not meet the weights are left to the engine's alignment,
    which names what is missing."""
    from tessary.backtest import _core

    if len(weights.index) < 2 or not len(weights.columns):
        return
    if not isinstance(can_buy_stock, pd.DataFrame) or not isinstance(buy_price, pd.DataFrame):
        return
    pnl_index, columns = weights.index[1:], weights.columns
    try:
        for frame in (can_buy_stock, buy_price):
            if len(_core._absent_labels(pnl_index, frame.index)) or len(_core._absent_labels(columns, frame.columns)):
                return
        can_buy = _core._as_bool(_core._aligned_values(can_buy_stock, pnl_index, columns))
        prices = _core._aligned_values(buy_price, pnl_index, columns)
        if prices.dtype.kind not in "fiu":
            prices = _core._as_float(prices)
    except (TypeError, ValueError):
        return  # the engine raises its own error for these frames
    bad = np.less_equal(prices, 0) & can_buy
    if bad.any():
        rows, cols = np.nonzero(bad)
        raise ValueError(
            f"buy_price is zero or negative on {int(bad.sum())} stock-day(s) where buying is allowed (first: "
            f"{pnl_index[rows[0]]!s} {columns[cols[0]]!s} = {prices[rows[0], cols[0]]:g}); "
            "a buy there would gain its whole price"
        )


# --------------------------------------------------------------------------- the low-level doors


def check_engine_inputs(
    strategy_matrix: Any,
    can_buy_stock: Any,
    buy_price: Any,
    *,
    rolling_window: Any,
    total_money: Any,
    fee: Any,
    rule_fee: Any,
) -> None:
    """The value checks of ``run_strategy_backtest_core`` and ``compute_records``,
    made after their argument rules. Scalars are taken as the engine converts them
    (floats by ``float()``, the window truncated by ``int()``); values of a type the
    engine rejects are left to it. A weight matrix that is not a DataFrame is left to
    the engine too."""
    window = _engine_int(rolling_window)
    costs = [_engine_float(v) for v in (total_money, fee, rule_fee)]
    if window is None or None in costs:
        return  # the engine's argument rules reject the call with their own message
    if window < 0:
        raise ValueError(f"rolling_window must not be negative, not {window}")
    check_costs(*costs)
    if isinstance(strategy_matrix, pd.DataFrame):
        check_weight_frame(strategy_matrix)
        check_buy_prices(strategy_matrix, can_buy_stock, buy_price)
