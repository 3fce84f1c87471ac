"""Cost of the front door: run_backtest against loading and aligning by hand.

Builds a synthetic store once, then times side by side, best of N:

- by hand: load the eight market datasets of the weights' range from the store,
  reindex them to the weights' labels, run ``run_strategy_backtest_core``;
- ``run_backtest`` on the same weights given the way researchers hold them
  (DatetimeIndex, suffixed codes, rebalance dates only, carried forward),

checks that both give the same daily returns to the bit and prints the ratio:

    python bench/bench_front_door.py [--stocks 1000] [--years 3] [--repeat 3] [--dir DIR]
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from _common import timed
from tessary import singleton
from tessary.backtest import BinaryPreparedDataStore, run_backtest
from tessary.backtest._pnl_engine import run_strategy_backtest_core
from tessary.backtest._prepare import GroupPreparedDataBuilder
from tessary.local import LocalDataClient
from tessary.synthetic import generate_market

DATASETS = {
    "can_buy_stock": "can_buy_stock", "cant_sell_stock": "cant_sell_stock", "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend", "close_price": "close_price", "prev_close": "prev_close",
    "buy_price": "buy_price", "sell_price": "sell_price",
}


def make_store(root: Path, stocks: int, years: float) -> BinaryPreparedDataStore:
    store = BinaryPreparedDataStore(root / "store")
    if store.load_metadata():
        return store
    market = generate_market(n_stocks=stocks, years=years, seed=0)
    database = market.to_duckdb(root / "m.duckdb", overwrite=True)
    previous = singleton.set_instance(LocalDataClient(database))
    try:
        store.write_payload(GroupPreparedDataBuilder(market.start_date, market.end_date).build())
    finally:
        singleton.set_instance(previous)
    return store


def by_hand(weights: pd.DataFrame, store) -> pd.Series:
    data = store.load(start_date=weights.index[0], end_date=weights.index[-1], keys=list(DATASETS.values()))["data"]
    frames = {}
    for param, key in DATASETS.items():
        fill = {"can_buy_stock": False, "cant_sell_stock": True}.get(param, np.nan)
        frames[param] = data[key].reindex(index=weights.index, columns=weights.columns, fill_value=fill)
    return run_strategy_backtest_core(weights, **frames).daily_return


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stocks", type=int, default=1000)
    ap.add_argument("--years", type=float, default=3)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", help="keep the store here between runs (default: a temporary directory)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(args.dir or tmp)
        root.mkdir(parents=True, exist_ok=True)
        store = make_store(root, args.stocks, args.years)
        close = store.load(keys=["close_price"])["data"]["close_price"]
        rng = np.random.default_rng(1)
        rebalance = close.index[::5]
        picks = rng.random((len(rebalance), len(close.columns))) < 0.1
        given = pd.DataFrame(np.where(picks, 1.0, 0.0), index=rebalance, columns=close.columns)
        given = given.div(given.sum(axis=1).where(lambda s: s > 0), axis=0).fillna(0.0)
        # the same weights on every trading day up to the last rebalance, as the engine wants them
        daily = given.reindex(close.index[: close.index.get_loc(rebalance[-1]) + 1], method="ffill")
        held = given.set_axis(pd.to_datetime(given.index, format="%Y%m%d"))
        held.columns = [c + (".XSHG" if c.startswith("6") else ".XSHE") for c in held.columns]

        t_hand, want = timed(lambda: by_hand(daily, store), args.repeat)
        t_door, got = timed(lambda: run_backtest(held, store), args.repeat)
        same = np.array_equal(got.daily_return.to_numpy(), want.to_numpy())
        print(f"{len(daily)} dates x {len(daily.columns)} stocks, weights given on {len(given)} rebalance dates")
        print(f"by hand (daily weights, aligned frames)   {t_hand:8.3f} s")
        print(f"run_backtest (rebalance dates, any form)  {t_door:8.3f} s   ratio {t_door / t_hand:5.2f}x")
        print(f"daily returns identical to the bit: {same}")


if __name__ == "__main__":
    main()
