"""Momentum and reversal: portfolios ranked by each stock's trailing total return."""

from __future__ import annotations

import numbers

import pandas as pd

from tessary.strategies import _blocks, _shared
from tessary.strategies import _strategy_kernels as _kernels


def _int_param(name: str, value: object, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    if int(value) < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value!r}")
    return int(value)


def _share_param(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"share must be a number, got {value!r}")
    share = float(value)
    if not 0.0 < share <= 1.0:
        raise ValueError(f"share must lie in (0, 1], got {value!r}")
    return share


def _trailing_return(market: dict, lookback: int, min_days: int) -> tuple[pd.DataFrame, pd.DataFrame]:
    """The close frame and each stock's sum of daily total returns over the last
    ``lookback`` dates (given ``min_days`` of them): ``rolling_sum`` of
    ``daily_total_return``, both kept for later calls on a market read from a store."""
    close, inputs = _blocks.total_return_inputs(market)
    key = _shared.frozen_key(inputs)
    daily = _shared.remembered("daily", key, tuple(inputs), lambda: _kernels.total_return(*inputs))
    sums = _shared.remembered("sum", None if key is None else (key, lookback, min_days), tuple(inputs),
                              lambda: _kernels.rolling_sum(daily, lookback, min_days))
    return close, pd.DataFrame(sums, index=close.index, columns=close.columns, copy=False)


def _ranked_weights(market: dict, lookback, share, rebalance, min_days, min_holdings, largest: bool) -> pd.DataFrame:
    lookback = _int_param("lookback", lookback, 1)
    share = _share_param(share)
    rebalance = _int_param("rebalance", rebalance, 1)
    min_days = max(1, (2 * lookback) // 3) if min_days is None else _int_param("min_days", min_days, 1)
    if min_days > lookback:
        raise ValueError(f"min_days ({min_days}) must not exceed lookback ({lookback})")
    min_holdings = _int_param("min_holdings", min_holdings, 1)

    close, score = _trailing_return(market, lookback, min_days)
    can_buy = _blocks._market_frame(market, "can_buy_stock", close)
    # Only stocks that may be bought and have a close that day are candidates.
    return _blocks.top_share_weights(score, share=share, rebalance=rebalance, min_holdings=min_holdings,
                                     largest=largest, eligible=can_buy, present=close)


def momentum(market: dict, lookback: int = 60, share: float = 0.1, rebalance: int = 5,
             min_days: int | None = None, min_holdings: int = 5) -> pd.DataFrame:
    """Momentum: hold the stocks with the highest trailing total return.

    A stock's score on a date is the sum of its daily total returns (close x split
    multiplier + cash dividend) / previous close - 1 over the last ``lookback`` dates,
    given at least ``min_days`` of them (default: two thirds of ``lookback``). Every
    ``rebalance`` dates, starting with the first, the top ``share`` of the stocks that
    may be bought and have a close (at least ``min_holdings``) are held in equal
    weights summing to 1 until the next rebalance; equal scores go by stock code.
    The defaults are the demo's strategy. The engine trades a date's weights on the
    next trading date.
    """
    return _ranked_weights(market, lookback, share, rebalance, min_days, min_holdings, largest=True)


def reversal(market: dict, lookback: int = 5, share: float = 0.1, rebalance: int = 5,
             min_days: int | None = None, min_holdings: int = 5) -> pd.DataFrame:
    """Short-term reversal: hold the stocks with the lowest trailing total return.

    The same score, schedule and weighting as :func:`momentum`, choosing the bottom
    ``share`` instead of the top (equal scores still by stock code).
    """
    return _ranked_weights(market, lookback, share, rebalance, min_days, min_holdings, largest=False)
