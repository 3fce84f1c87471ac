"""The daily returns of a batch of weight matrices traded on one market, each under
several (capital, fee, rule fee) variants, from one call per batch: the unit in which
the sweep prices its portfolios, so that one pass over the market's matrices can
serve every portfolio of the batch."""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np
import pandas as pd

#: One variant of a path: (total_money, fee, rule_fee).
Costs = tuple[float, float, float]


def batch_returns(works: Sequence[pd.DataFrame], aligned: Mapping[str, pd.DataFrame],
                  costs: Sequence[Sequence[Costs]]) -> tuple[list[np.ndarray], pd.Index]:
    """The daily returns of each weight matrix of ``works`` (engine-ready: smoothed
    already, re-sized every day, all on the index and columns of the ``aligned``
    market frames) under each of its ``costs``: per work an array of shape
    (len(costs[j]), return dates), row by row equal to the bit to
    ``calc_strategy_vwap_daily_return`` of that work with those costs, and the return
    dates. Variants of one capital share one pass over the market."""
    from tessary.backtest import _records

    if len(works) != len(costs):
        raise ValueError("batch_returns: one list of costs per weight matrix")
    dates = works[0].index[1:] if works else pd.Index([])
    out = []
    for work, variants in zip(works, costs):
        rows = np.empty((len(variants), max(len(work.index) - 1, 0)))
        by_money: dict[float, list[int]] = {}
        for j, (money, _, _) in enumerate(variants):
            by_money.setdefault(float(money), []).append(j)
        for money, members in by_money.items():
            values, dates = _records.fee_path_returns(work, **aligned, fees=[float(variants[j][1]) for j in members],
                                                      rule_fees=[float(variants[j][2]) for j in members],
                                                      total_money=money)
            rows[members] = values
        out.append(rows)
    return out, dates
