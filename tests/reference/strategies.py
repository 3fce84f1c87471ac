"""Plain pandas/numpy versions of the strategy kernels, to test the kernels against.
Imports nothing from the package."""

import numpy as np
import pandas as pd


def total_return(close, prev, split, dividend):
    with np.errstate(divide="ignore", invalid="ignore"):
        daily = (close * split.fillna(1.0) + dividend.fillna(0.0)) / prev - 1.0
    return daily.where(np.isfinite(daily))


def rolling_sum(frame, window, min_periods):
    return frame.rolling(window, min_periods=min_periods).sum()


def top_share(score, pick, share, min_count, largest=True, eligible=None):
    """(chosen bool frame, count per row): the candidates of a picked row sorted by
    score (stable, codes ascending), the first max(min_count, int(n x share)) chosen."""
    score = score.sort_index(axis=1)  # ties go by stock code
    if eligible is not None:
        score = score.where(eligible.reindex_like(score))
    chosen = pd.DataFrame(False, index=score.index, columns=score.columns)
    count = np.zeros(len(score), dtype=np.int64)
    for i in np.flatnonzero(pick):
        row = score.iloc[i].to_numpy()
        candidates = np.flatnonzero(np.isfinite(row))
        if len(candidates) < min_count or not len(candidates):
            continue
        k = max(min_count, int(len(candidates) * share))
        order = np.argsort(-row[candidates] if largest else row[candidates], kind="stable")
        chosen.iloc[i, candidates[order[:k]]] = True
        count[i] = k
    return chosen, count


def equal_weights(chosen, count):
    weights = chosen.astype(float).div(np.where(count > 0, count, 1), axis=0)
    weights[count <= 0] = np.nan
    return weights


def hold_forward(frame, fill):
    return frame.ffill().fillna(fill)


def top_share_on_rebalance_days(values, close, rebalance, min_holdings, share, largest=True):
    """Equal weights (summing to 1) of the top ``share`` (at least ``min_holdings``) of
    the finite scores of every ``rebalance``-th row of ``values``, held until the next
    rebalance; rows with fewer candidates keep the weights before them."""
    weights = np.full(values.shape, np.nan)
    for i in range(0, len(values), rebalance):
        row = values[i]
        candidates = np.flatnonzero(np.isfinite(row))
        if len(candidates) < min_holdings:
            continue
        k = max(min_holdings, int(len(candidates) * share))
        order = np.argsort(-row[candidates] if largest else row[candidates], kind="stable")
        weights[i] = 0.0
        weights[i, candidates[order[:k]]] = 1.0 / k
    return pd.DataFrame(weights, index=close.index, columns=close.columns).ffill().fillna(0.0)


def ranked_weights(market, lookback, share, rebalance, min_days, min_holdings, largest):
    """Momentum (largest) or reversal as a researcher writes it in pandas."""
    close = market["close_price"]
    daily = total_return(close, market["prev_close"], market["rq_get_split"], market["rq_get_dividend"])
    score = daily.rolling(lookback, min_periods=min_days).sum()
    eligible = market["can_buy_stock"].fillna(False).astype(bool) & close.notna()
    score = score.where(eligible)
    return top_share_on_rebalance_days(score.to_numpy(), close, rebalance, min_holdings, share, largest)


DEMO_LOOKBACK = 60
DEMO_MIN_DAYS = 40
DEMO_TOP_SHARE = 0.1
DEMO_MIN_HOLDINGS = 5
DEMO_REBALANCE_DAYS = 5


def demo_momentum(market):
    """The demo's momentum strategy, as a date x stock weight matrix.

    Each stock's daily total return is (close x split multiplier + cash dividend) /
    previous close - 1. Its momentum on a date is the sum of those returns over the
    last ``DEMO_LOOKBACK`` (60) trading days, given at least
    ``DEMO_MIN_DAYS`` (40) of them. Every ``DEMO_REBALANCE_DAYS`` (5) days
    the strategy picks the top ``DEMO_TOP_SHARE`` (10 %, at least 5) of the
    stocks that have a valid close and may be bought that day, and holds them in
    equal weights (summing to 1) until the next rebalance. The engine trades the
    weights of a date on the next trading date.
    """
    close = market["close_price"]
    prev = market["prev_close"].reindex_like(close)
    split = market["rq_get_split"].reindex_like(close).fillna(1.0)
    dividend = market["rq_get_dividend"].reindex_like(close).fillna(0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        daily = (close * split + dividend) / prev - 1.0
    daily = daily.where(np.isfinite(daily))
    momentum = daily.rolling(DEMO_LOOKBACK, min_periods=DEMO_MIN_DAYS).sum()
    buyable = market["can_buy_stock"].reindex_like(close).fillna(False).astype(bool) & close.notna()
    score = momentum.where(buyable).to_numpy()
    return top_share_on_rebalance_days(score, close, DEMO_REBALANCE_DAYS, DEMO_MIN_HOLDINGS, DEMO_TOP_SHARE)
