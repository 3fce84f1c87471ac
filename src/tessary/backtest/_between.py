"""What a position does between two rebalance dates: the two rules of the engine.

``"resize"`` (the default): every day each position is re-sized to weight x capital /
previous close, from the weights in force that day (weights given on rebalance dates
only are carried onto the days between). ``"hold"``: the share counts are set on the
given dates only (from that date's weights and previous closes, in whole lots) and
kept until the next given date; a trade that a flag refused is tried again on the
following days; a split scales the held shares and the kept target together, so a
split alone trades nothing. The first trading day of a backtest always sets targets
(the weights in force then, given or carried). With weights given on every trading
day the two rules trade alike (a refused trade is tried again under both, towards
that day's target) except on split days: the resize rule keeps the old share count
and re-sizes it the next day, the hold rule scales it on the day.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["BETWEEN_RULES", "check_between", "given_flags"]

#: The rules, the default first.
BETWEEN_RULES = ("resize", "hold")


def check_between(value: object) -> str:
    """``value`` when it names a rule; TypeError or ValueError otherwise."""
    if not isinstance(value, str):
        raise TypeError(f"between must be 'resize' or 'hold', not {type(value).__name__}")
    if value not in BETWEEN_RULES:
        raise ValueError(f"between must be 'resize' or 'hold', not {value!r}")
    return value


def given_flags(between: str, days: pd.Index, given_dates: pd.Index) -> np.ndarray | None:
    """The engine's ``given`` flags for the trading ``days`` of a backtest whose weights
    were given on ``given_dates``: None under the resize rule, else one boolean per
    day, True on the given dates and on the first day."""
    if check_between(between) == "resize":
        return None
    flags = np.asarray(days.isin(given_dates), dtype=bool).copy()
    if len(flags):
        flags[0] = True
    return flags
