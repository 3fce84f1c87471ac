"""Plain numpy version of the recording pass, written the straightforward way: a
whole target matrix up front, then one pass per day of whole-vector operations,
each day's records picked out with boolean masks. Imports nothing from the package:
the inputs must already be aligned frames of one shape (the weights of date r in
row r; the returns are made on rows 1 ...).

Returns the records as dicts of arrays with the same names as the native pass:
"day" and "stock" positions, "side" (0 buy, 1 sell) where a table has one.
"""

from __future__ import annotations

import numpy as np


def records_numpy(signal_matrix, can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price,
                  prev_close, buy_price, sell_price, total_money=1e8, fee=0.0001, rule_fee=0.0005, lot_size=200):
    rows = lambda f: np.asarray(f.to_numpy(dtype=float, na_value=np.nan))[1:]  # noqa: E731
    signal = np.asarray(signal_matrix.to_numpy(dtype=float, na_value=np.nan))[:-1]
    can_buy = np.asarray(can_buy_stock.to_numpy(dtype=bool))[1:]
    cant_sell = np.asarray(cant_sell_stock.to_numpy(dtype=bool))[1:]
    split_arr, dividend_arr, close_arr = rows(split_factor), rows(dividend_factor), rows(close_price)
    prev_arr, buy_arr, sell_arr = rows(prev_close), rows(buy_price), rows(sell_price)
    days, stocks = signal.shape

    with np.errstate(all="ignore"):
        raw = total_money * signal / (prev_arr * lot_size)
        valid = (signal > 0) & np.isfinite(prev_arr) & (prev_arr > 0)
        target = np.where(valid, np.floor(raw) * lot_size, 0.0)

    out = {name: {} for name in ("trades", "blocked", "positions", "pnl")}
    parts = {name: [] for name in out}
    daily = {k: np.zeros(days) for k in ("bought_value", "sold_value", "commission", "levy", "held")}
    holding = np.zeros(stocks)
    ids = np.arange(stocks)
    with np.errstate(all="ignore"):
        for i in range(days):
            diff = target[i] - holding
            buy_ok, barred = can_buy[i], cant_sell[i]
            real_buy = np.where((diff > 0) & buy_ok, diff, 0.0)
            sell = np.where((diff < 0) & ~barred, -diff, 0.0)
            hold = holding - sell
            holding = hold + real_buy
            split = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
            dividend = np.where(np.isnan(dividend_arr[i]), 0.0, dividend_arr[i])
            close = close_arr[i]
            buy_coeff = np.nan_to_num(close - buy_arr[i] * (1 + fee), nan=0.0)
            hold_coeff = np.nan_to_num(split * close - prev_arr[i], nan=0.0)
            sell_coeff = np.nan_to_num(split * sell_arr[i] * (1 - fee - rule_fee) - prev_arr[i], nan=0.0)
            terms = [real_buy * buy_coeff, hold * hold_coeff, hold * dividend, sell * sell_coeff, sell * dividend]

            bought = (diff > 0) & buy_ok
            sold = (diff < 0) & ~barred
            traded = bought | sold
            shares = np.where(bought, real_buy, sell)
            price = np.where(bought, buy_arr[i], sell_arr[i])
            value = np.where(bought, real_buy * buy_arr[i], sell * split * sell_arr[i])
            parts["trades"].append(dict(day=np.full(traded.sum(), i), stock=ids[traded],
                                        side=np.where(bought, 0, 1)[traded], shares=shares[traded],
                                        price=price[traded], value=value[traded], commission=(value * fee)[traded],
                                        levy=np.where(bought, 0.0, value * rule_fee)[traded]))
            refused = ((diff > 0) & ~buy_ok) | ((diff < 0) & barred)
            parts["blocked"].append(dict(day=np.full(refused.sum(), i), stock=ids[refused],
                                         side=np.where(diff > 0, 0, 1)[refused], shares=np.abs(diff)[refused]))
            held = holding != 0
            parts["positions"].append(dict(day=np.full(held.sum(), i), stock=ids[held], shares=holding[held],
                                           value=((hold * split + real_buy) * close)[held]))
            nonzero = np.zeros(stocks, dtype=bool)
            for t in terms:
                nonzero |= t != 0
            names = ("buy", "hold", "hold_dividend", "sell", "sell_dividend")
            parts["pnl"].append(dict(day=np.full(nonzero.sum(), i), stock=ids[nonzero],
                                     **{n: t[nonzero] for n, t in zip(names, terms)}))
            daily["bought_value"][i] = np.nansum(np.where(bought, value, np.nan))
            daily["sold_value"][i] = np.nansum(np.where(sold, value, np.nan))
            daily["commission"][i] = np.nansum(np.where(traded, value * fee, np.nan))
            daily["levy"][i] = np.nansum(np.where(sold, value * rule_fee, np.nan))
            daily["held"][i] = held.sum()
    for name, pieces in parts.items():
        keys = pieces[0].keys() if pieces else ["day", "stock"]
        out[name] = {k: np.concatenate([p[k] for p in pieces]) if pieces else np.array([]) for k in keys}
    out["daily"] = daily
    return out
