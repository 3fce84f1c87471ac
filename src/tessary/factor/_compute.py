"""The research figures of one factor from its values and the market: cross-sections,
forward returns, rank ICs, decay, groups, group means, turnover, autocorrelation.
Every loop over dates and stocks runs in the native kernels."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from tessary.factor import _factor_kernels as kernels
from tessary.factor._inputs import DECAY_LAGS, Market, industry_labels

#: A rank IC needs at least this many stocks.
MIN_IC_STOCKS = 5


@dataclass
class Figures:
    cross_section: np.ndarray  # dates x stocks, bool
    values: np.ndarray  # the factor evaluated (neutralised when asked), dates x stocks
    labels: np.ndarray  # ordinal groups, dates x stocks, 0 = none
    ic: dict  # period -> per-date rank IC
    decay: np.ndarray  # mean IC per lag
    group_mean: dict  # period -> dates x groups
    group_daily: np.ndarray  # dates x groups, the one-day forward return
    turnover: np.ndarray  # dates x groups
    autocorrelation: np.ndarray  # per date


def cross_section(values: np.ndarray, market: Market, *, tradable: bool, neutralize: bool) -> np.ndarray:
    """Stocks with a value on T, members of the universe on T, buyable on T+1 and with an
    industry on T, as asked."""
    rows = market.day_of
    mask = ~np.isnan(values)
    if market.member is not None:
        mask &= market.member[rows]
    if tradable:
        following = rows + 1
        inside = following < len(market.days)
        buyable = np.zeros_like(mask)
        buyable[inside] = market.can_buy[following[inside]]
        mask &= buyable
    if neutralize:
        mask &= np.isfinite(market.industry[rows])
    return np.ascontiguousarray(mask)


def neutralized(values: np.ndarray, mask: np.ndarray, market: Market) -> np.ndarray:
    """Each value minus the mean of its industry's values in the cross-section of its date."""
    labels, k = industry_labels(market.industry[market.day_of])
    labels[~mask] = 0
    return kernels.demean(np.ascontiguousarray(np.where(mask, values, np.nan)), labels, k)


def _mean(values: np.ndarray) -> float:
    finite = values[~np.isnan(values)]
    return float(finite.mean()) if len(finite) else float("nan")


def compute(values: np.ndarray, market: Market, *, periods: tuple[int, ...], groups: int, tradable: bool,
            neutralize: bool) -> Figures:
    mask = cross_section(values, market, tradable=tradable, neutralize=neutralize)
    if neutralize:
        values = neutralized(values, mask, market)
    values = np.ascontiguousarray(np.where(mask, values, np.nan))
    largest = int(mask.sum(axis=1).max()) if mask.size else 0
    if largest < groups:
        raise ValueError(f"groups={groups} is larger than the largest cross-section ({largest} stocks on one date)")
    dates = len(values)
    own_rows = np.arange(dates, dtype=np.int64)
    order, count = kernels.row_orders(values)

    r1 = kernels.one_day_returns(market.open, market.split, market.dividend)
    r1_order, r1_count = kernels.row_orders(r1)

    def r1_rows(ahead: int) -> np.ndarray:
        # The rows of r1 `ahead` days after each factor date (-1: past the data).
        rows = market.day_of + ahead
        rows[rows >= len(market.days)] = -1
        return rows

    ic, group_mean = {}, {}
    labels = kernels.ordinal_groups(values, order, count, mask, groups)
    # The factor's ranks over each cross-section, reused where every stock has a return.
    ranks = kernels.masked_ranks(values, order, count, mask)
    for h in periods:
        # fwd_1[T] = r1[T+1]; longer periods are compounded from there.
        if h == 1:
            forward, f_order, f_count, rows = r1, r1_order, r1_count, r1_rows(1)
        else:
            forward = kernels.compound(r1, h)
            (f_order, f_count), rows = kernels.row_orders(forward), market.day_of
        ic[h] = kernels.rank_corr(values, order, count, own_rows, forward, f_order, f_count, rows, mask,
                                  MIN_IC_STOCKS, ranks)
        group_mean[h] = kernels.group_means(forward, rows, labels, groups)
    group_daily = group_mean[1] if 1 in group_mean else kernels.group_means(r1, r1_rows(1), labels, groups)
    # Lag k compares the factor of T with the one-day return of T+1+k.
    decay = np.empty(DECAY_LAGS)
    for k in range(DECAY_LAGS):
        rows = r1_rows(1 + k)
        decay[k] = _mean(kernels.rank_corr(values, order, count, own_rows, r1, r1_order, r1_count, rows, mask,
                                           MIN_IC_STOCKS, ranks))
    before = np.concatenate([[-1], own_rows[:-1]])
    both = mask.copy()
    both[1:] &= mask[:-1]
    both[0] = False
    autocorrelation = kernels.rank_corr(values, order, count, own_rows, values, order, count, before, both,
                                        MIN_IC_STOCKS)
    return Figures(
        cross_section=mask,
        values=values,
        labels=labels,
        ic=ic,
        decay=decay,
        group_mean=group_mean,
        group_daily=group_daily,
        turnover=kernels.group_turnover(labels, groups),
        autocorrelation=autocorrelation,
    )
