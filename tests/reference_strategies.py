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


def ranked_weights(market, lookback, share, rebalance, min_days, min_holdings, largest):
    """Momentum (largest) or reversal as a researcher writes it in pandas."""
    close = market["close_price"]
    daily = total_return(close, market["prev_close"], market["rq_get_split"], market["rq_get_dividend"])
    score = daily.rolling(lookback, min_periods=min_days).sum()
    eligible = market["can_buy_stock"].fillna(False).astype(bool) & close.notna()
    score = score.where(eligible)
    weights = np.full(score.shape, np.nan)
    values = score.to_numpy()
    for i in range(0, len(score), rebalance):
        row = values[i]
        candidates = np.flatnonzero(np.isfinite(row))
        if len(candidates) < min_holdings:
            continue
        k = max(min_holdings, int(len(candidates) * share))
        order = np.argsort(-row[candidates] if largest else row[candidates], kind="stable")
        weights[i] = 0.0
        weights[i, candidates[order[:k]]] = 1.0 / k
    return pd.DataFrame(weights, index=close.index, columns=close.columns).ffill().fillna(0.0)
