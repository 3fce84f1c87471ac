"""Backtest a random weight matrix on a random market and print a summary.

    python examples/random_backtest.py [--days 500] [--stocks 800] [--seed 1]

No data service is needed: prices follow a random walk, every day the strategy
holds an equal weight in a random fifth of the stocks.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from tessary.backtest import _pnl_engine


def random_market(days: int, stocks: int, seed: int) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    index = pd.Index(pd.bdate_range("2021-01-04", periods=days + 1).strftime("%Y%m%d"))
    columns = pd.Index([f"{600000 + i:06d}" for i in range(stocks)])
    shape = (days + 1, stocks)
    returns = rng.normal(0.0003, 0.02, shape)
    close = 10.0 * np.exp(np.cumsum(returns, axis=0))
    prev_close = np.vstack([close[:1] / np.exp(returns[:1]), close[:-1]])
    vwap = prev_close * (1 + 0.5 * returns)
    held = rng.random(shape) < 0.2
    weights = np.where(held, 1.0 / np.maximum(held.sum(axis=1, keepdims=True), 1), 0.0)
    frame = lambda a: pd.DataFrame(a, index=index, columns=columns)  # noqa: E731
    return dict(
        signal_matrix=frame(weights),
        can_buy_stock=frame(np.abs(returns) < 0.095),
        cant_sell_stock=frame(returns < -0.095),
        split_factor=frame(np.full(shape, np.nan)),
        dividend_factor=frame(np.full(shape, np.nan)),
        close_price=frame(close),
        prev_close=frame(prev_close),
        buy_price=frame(vwap),
        sell_price=frame(vwap),
    )


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=int, default=500)
    ap.add_argument("--stocks", type=int, default=800)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()

    market = random_market(args.days, args.stocks, args.seed)
    t0 = time.perf_counter()
    daily = _pnl_engine.calc_strategy_vwap_daily_return(**market)
    elapsed = time.perf_counter() - t0
    net = daily.cumsum() + 1
    print(f"{len(daily)} return days x {args.stocks} stocks in {elapsed * 1e3:.1f} ms")
    print(f"first day {daily.index[0]}, last day {daily.index[-1]}")
    print(f"total return  {net.iloc[-1] - 1:+.4%}")
    print(f"mean daily    {daily.mean():+.4%}   std {daily.std():.4%}")
    print(f"best day      {daily.max():+.4%}   worst day {daily.min():+.4%}")
    print(f"max drawdown  {(net - net.cummax()).min():.4f} (net value)")


if __name__ == "__main__":
    main()
