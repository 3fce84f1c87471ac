"""The daily returns of a batch of weight matrices traded on one market, each under
several (capital, fee, rule fee) variants, from one call per batch: the unit in which
the sweep prices its portfolios, so that one pass over the market's matrices serves
every portfolio of the batch."""

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
    dates. Variants of one capital share one holding path; all paths of the batch
    share one pass over the market."""
    from tessary.backtest import _records

    if len(works) != len(costs):
        raise ValueError("batch_returns: one list of costs per weight matrix")
    dates = works[0].index[1:] if works else pd.Index([])
    days = max(len(dates), 0)
    # Per work its paths (one per capital, in order of appearance), per path its
    # variants; `order` maps each (work, variant) to its row of the pass's result.
    paths, money, variants, fees, rule_fees = [], [], [], [], []
    order: list[list[int]] = []
    for work_costs in costs:
        by_money: dict[float, list[int]] = {}
        for j, (capital, _, _) in enumerate(work_costs):
            by_money.setdefault(float(capital), []).append(j)
        rows = [0] * len(work_costs)
        for capital, members in by_money.items():
            money.append(capital)
            variants.append(len(members))
            for j in members:
                rows[j] = len(fees)
                fees.append(float(work_costs[j][1]))
                rule_fees.append(float(work_costs[j][2]))
        paths.append(len(by_money))
        order.append(rows)
    busy = [j for j, rows in enumerate(order) if rows]
    if not busy:
        return [np.empty((0, days)) for _ in works], dates
    kept = {j: k for k, j in enumerate(busy)}
    values, dates = _records.portfolio_path_returns(
        [works[j] for j in busy], **aligned, paths=[paths[j] for j in busy], money=money, variants=variants,
        fees=fees, rule_fees=rule_fees)
    return [values[order[j]] if j in kept else np.empty((0, values.shape[1])) for j in range(len(works))], dates
