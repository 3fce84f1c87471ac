"""Plain Python version of the hold rule: share targets set on the given dates and
kept in shares until the next one, stock by stock and day by day.

Per stock, on return day i (which trades the weights of the date before it):
a split multiplier f (a positive finite number; anything else is no event) scales
the holding and the kept target; if the weights' date is given, the target becomes
floor(money * weight / (prev_close * lot)) lots (0 unless the weight is > 0 and the
previous close finite and > 0), times f; the holding moves towards the target as the
flags allow. Profit per day, with share counts in new shares after a split:
bought x (close - buy x (1 + fee)) + carried x (close - prev_close / f)
+ carried x dividend / f + sold x (sell x (1 - fee - levy) - prev_close / f)
+ sold x dividend / f, each per-share coefficient with NaN as 0.

Returns the daily returns and, per day, the holdings after the trades (for the
records), as plain lists.
"""

from __future__ import annotations

import numpy as np


def _num(x: float) -> float:
    """numpy's nan_to_num: NaN -> 0, +-inf -> the largest finite value of its sign."""
    if np.isnan(x):
        return 0.0
    if np.isinf(x):
        return float(np.copysign(np.finfo(np.float64).max, x))
    return x


def hold_returns(weights, given, market, total_money=1e8, fee=0.0001, rule_fee=0.0005, lot=200):
    """``weights``: list of rows (one per date, one weight per stock); ``given``: one
    bool per date; ``market``: dict of lists of rows for the return dates (the dates
    but the first) under the keys prev_close, close, buy_price, sell_price, split,
    dividend, can_buy, cant_sell. Returns (daily returns, holdings per day)."""
    days = len(weights) - 1
    stocks = len(weights[0]) if weights else 0
    holding = [0.0] * stocks
    target = [0.0] * stocks
    returns, holdings = [], []
    for i in range(days):
        cash = 0.0
        for s in range(stocks):
            raw = market["split"][i][s]
            f = raw if (raw > 0 and not np.isinf(raw)) else 1.0  # NaN compares False
            pc = market["prev_close"][i][s]
            if given[i]:
                w = weights[i][s]
                new = 0.0
                if w > 0 and np.isfinite(pc) and pc > 0:
                    raw_lots = total_money * w / (pc * lot)
                    new = float(np.floor(raw_lots)) * lot
                target[s] = new
            target[s] *= f
            current = holding[s] * f
            diff = target[s] - current
            buy = diff if diff > 0 and market["can_buy"][i][s] else 0.0
            sell = -diff if diff < 0 and not market["cant_sell"][i][s] else 0.0
            hold = current - sell
            holding[s] = hold + buy
            div = market["dividend"][i][s]
            div = (0.0 if np.isnan(div) else div) / f
            close = market["close"][i][s]
            cash += buy * _num(close - market["buy_price"][i][s] * (1 + fee))
            cash += hold * _num(close - pc / f) + hold * div
            cash += sell * _num(market["sell_price"][i][s] * (1 - fee - rule_fee) - pc / f) + sell * div
        returns.append(cash / total_money)
        holdings.append(list(holding))
    return returns, holdings
