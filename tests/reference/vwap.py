"""Plain numpy implementation of the VWAP daily-return algorithm, step by step.

Used by the tests (agreement with the native engine) and by the benchmark (the
baseline it is compared with). Deliberately written the straightforward way: the
market frames aligned to the return dates and the weight matrix's stocks by pandas,
a whole target matrix up front, then one pass per day of whole-vector operations and
five dot products.
"""

from __future__ import annotations

import numpy as np
import pandas as pd


def _floats(frame, index, columns):
    """The frame's values on index x columns as float64, NaN where missing."""
    return frame.reindex(index=index, columns=columns).to_numpy(dtype=np.float64, na_value=np.nan)


def _flags(frame, index, columns):
    """The frame's values on index x columns as booleans, False where missing."""
    aligned = frame.reindex(index=index, columns=columns)
    values = aligned.to_numpy()
    if values.dtype == bool:
        return values
    return np.where(aligned.isna().to_numpy(), False, values).astype(bool)


def vwap_daily_return_numpy(
    signal_matrix,
    can_buy_stock,
    cant_sell_stock,
    split_factor,
    dividend_factor,
    close_price,
    prev_close,
    buy_price,
    sell_price,
    total_money=1e8,
    fee=0.0001,
    rule_fee=0.0005,
    lot_size=200,
):
    signal = signal_matrix.shift(1)
    source_index = signal_matrix.index
    columns = signal_matrix.columns
    if len(source_index) < 2:
        return pd.Series(dtype=float)
    pnl_index = source_index[1:]
    prev_close_arr = _floats(prev_close, pnl_index, columns)
    can_buy_arr = _flags(can_buy_stock, pnl_index, columns)
    cant_sell_arr = _flags(cant_sell_stock, pnl_index, columns)
    close_arr = _floats(close_price, pnl_index, columns)
    buy_price_arr = _floats(buy_price, pnl_index, columns)
    sell_price_arr = _floats(sell_price, pnl_index, columns)
    split_arr = _floats(split_factor, pnl_index, columns)
    dividend_arr = _floats(dividend_factor, pnl_index, columns)

    signal_arr = np.asarray(signal.reindex(index=pnl_index, columns=columns), dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        raw_target = total_money * signal_arr / (prev_close_arr * lot_size)
    valid = (signal_arr > 0) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
    with np.errstate(invalid="ignore"):
        target = np.where(valid, np.floor(raw_target) * lot_size, 0.0)

    real_target = np.zeros(len(columns))
    daily_cash = np.zeros(len(pnl_index))
    # NaN and infinite prices are part of the tested inputs: keep numpy quiet about them.
    with np.errstate(all="ignore"):
        for i in range(len(pnl_index)):
            diff = target[i] - real_target
            real_buy = np.where((diff > 0) & can_buy_arr[i], diff, 0.0)
            sell = np.where((diff < 0) & ~cant_sell_arr[i], -diff, 0.0)
            hold = real_target - sell
            real_target = hold + real_buy
            close_row = close_arr[i]
            prev_close_row = prev_close_arr[i]
            split_eff = np.where(np.isnan(split_arr[i]), 1.0, split_arr[i])
            dividend_eff = np.where(np.isnan(dividend_arr[i]), 0.0, dividend_arr[i])
            buy_coeff = np.nan_to_num(close_row - buy_price_arr[i] * (1 + fee), nan=0.0)
            hold_coeff = np.nan_to_num(split_eff * close_row - prev_close_row, nan=0.0)
            sell_coeff = np.nan_to_num(split_eff * sell_price_arr[i] * (1 - fee - rule_fee) - prev_close_row, nan=0.0)
            daily_cash[i] = (
                real_buy.dot(buy_coeff) + hold.dot(hold_coeff) + hold.dot(dividend_eff)
                + sell.dot(sell_coeff) + sell.dot(dividend_eff)
            )
    return pd.Series(daily_cash / total_money, index=pnl_index)


def random_market(days, stocks, seed=0, special=True):
    """Random weight and market frames of days x stocks.

    With ``special`` the frames contain NaN, +-inf, zero and negative prices and
    weights, splits and dividends, and blocked buys and sells.
    """
    rng = np.random.default_rng(seed)
    index = pd.Index([f"2024{m:02d}{d:02d}" for m in range(1, 13) for d in range(1, 29)][:days])
    if len(index) < days:
        index = pd.Index([str(20000101 + i) for i in range(days)])
    columns = pd.Index([f"{600000 + j:06d}" for j in range(stocks)])
    shape = (days, stocks)
    prev_close = rng.uniform(3.0, 80.0, shape)
    close = prev_close * (1 + rng.normal(0, 0.02, shape))
    buy = prev_close * (1 + rng.normal(0, 0.01, shape))
    sell = prev_close * (1 + rng.normal(0, 0.01, shape))
    weight = np.where(rng.random(shape) < 0.3, rng.uniform(0.0, 0.05, shape), 0.0)
    split = np.full(shape, np.nan)
    dividend = np.full(shape, np.nan)
    can_buy = rng.random(shape) > 0.05
    cant_sell = rng.random(shape) < 0.05
    if special:
        split[rng.random(shape) < 0.01] = 2.0
        split[rng.random(shape) < 0.01] = 1.3
        dividend[rng.random(shape) < 0.02] = 0.25
        for arr in (prev_close, close, buy, sell):
            arr[rng.random(shape) < 0.01] = np.nan
            arr[rng.random(shape) < 0.003] = np.inf
            arr[rng.random(shape) < 0.003] = -np.inf
            arr[rng.random(shape) < 0.003] = 0.0
            arr[rng.random(shape) < 0.003] = -5.0
        weight[rng.random(shape) < 0.02] = np.nan
        weight[rng.random(shape) < 0.01] = -0.02
        weight[rng.random(shape) < 0.002] = np.inf
    frame = lambda a: pd.DataFrame(a, index=index, columns=columns)  # noqa: E731
    return dict(
        signal_matrix=frame(weight),
        can_buy_stock=frame(can_buy),
        cant_sell_stock=frame(cant_sell),
        split_factor=frame(split),
        dividend_factor=frame(dividend),
        close_price=frame(close),
        prev_close=frame(prev_close),
        buy_price=frame(buy),
        sell_price=frame(sell),
    )
