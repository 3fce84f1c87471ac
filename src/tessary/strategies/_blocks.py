"""DataFrame-level building blocks of the built-in strategies, over the native kernels."""

from __future__ import annotations

import numpy as np
import pandas as pd

from tessary.strategies import _strategy_kernels as _kernels


def _market_frame(market: dict, key: str, like: pd.DataFrame | None = None) -> pd.DataFrame:
    try:
        frame = market[key]
    except KeyError:
        raise KeyError(f"the market has no dataset {key!r} (it holds: {', '.join(map(str, market)) or 'nothing'})") from None
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"market[{key!r}] must be a DataFrame, got {type(frame).__name__}")
    if like is not None and not (frame.index.equals(like.index) and frame.columns.equals(like.columns)):
        frame = frame.reindex(index=like.index, columns=like.columns)
    return frame


def _all_of(frame: pd.DataFrame, dtype: type) -> bool:
    return len(frame.columns) > 0 and bool((frame.dtypes == dtype).all())


def _float_values(frame: pd.DataFrame) -> np.ndarray:
    """The frame's values as float64: the frame's own (read-only) array when it holds
    float64 only, a converted copy otherwise (missing values as NaN)."""
    if _all_of(frame, np.float64):
        return frame.to_numpy(copy=False)
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def daily_total_return(market: dict) -> pd.DataFrame:
    """Each stock's daily total return: (close x split multiplier + cash dividend) /
    previous close - 1, a missing split counting as 1 and a missing dividend as 0;
    NaN where that is not a finite number. On the axes of ``market["close_price"]``."""
    close, inputs = total_return_inputs(market)
    return pd.DataFrame(_kernels.total_return(*inputs), index=close.index, columns=close.columns, copy=False)


def total_return_inputs(market: dict) -> tuple[pd.DataFrame, list[np.ndarray]]:
    """The close frame and the float64 values of the close, previous close, split
    and dividend frames on its axes, the inputs of the daily total return."""
    close = _market_frame(market, "close_price")
    frames = [close] + [_market_frame(market, key, close) for key in ("prev_close", "rq_get_split", "rq_get_dividend")]
    return close, [_float_values(frame) for frame in frames]


def rolling_sum(frame: pd.DataFrame, window: int, min_periods: int | None = None) -> pd.DataFrame:
    """``frame.rolling(window, min_periods).sum()``, to the last bit, computed natively
    (infinities count as missing; ``min_periods`` None means ``window``)."""
    values = _kernels.rolling_sum(_float_values(frame), int(window), int(window if min_periods is None else min_periods))
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def _code_rank(columns: pd.Index) -> np.ndarray:
    """Each column's position in the sorted order of the stock codes."""
    order = np.argsort(np.asarray(columns.astype(str), dtype=object), kind="stable")
    rank = np.empty(len(columns), dtype=np.int64)
    rank[order] = np.arange(len(columns), dtype=np.int64)
    return rank


def top_share_weights(
    score: pd.DataFrame,
    *,
    share: float,
    rebalance: int = 1,
    min_holdings: int = 1,
    largest: bool = True,
    eligible: pd.DataFrame | np.ndarray | None = None,
    present: pd.DataFrame | np.ndarray | None = None,
) -> pd.DataFrame:
    """Equal-weight portfolios of the top ``share`` of the stocks by ``score``.

    On every ``rebalance``-th date (the first date included) the candidates are the
    stocks with a finite score (and, with ``eligible``, a True flag; with ``present``,
    a value that is not NaN there, such as a close price). With n of them
    and n >= ``min_holdings``, the portfolio is the best max(``min_holdings``,
    int(n x ``share``)) of them (highest scores when ``largest``, else lowest; equal
    scores by stock code), each at 1 / that count. On a rebalance date with too few
    candidates, and on the dates in between, the last portfolio is held; before the
    first one every weight is 0.
    """
    values = _float_values(score)
    pick = np.zeros(values.shape[0], dtype=bool)
    pick[:: int(rebalance)] = True
    flags = None
    if isinstance(eligible, pd.DataFrame):
        flags = eligible.to_numpy(copy=False) if _all_of(eligible, np.bool_) else eligible.to_numpy(dtype=bool, na_value=False)
    elif eligible is not None:
        flags = np.asarray(eligible, dtype=bool)
    if isinstance(present, pd.DataFrame):
        present = _float_values(present)
    elif present is not None:
        present = np.asarray(present, dtype=np.float64)
    # The selection, its equal weights and the holding between rebalances in one pass.
    weights = _kernels.top_share_held(values, pick, _code_rank(score.columns), float(share), int(min_holdings),
                                      bool(largest), flags, present)
    return pd.DataFrame(weights, index=score.index, columns=score.columns, copy=False)
