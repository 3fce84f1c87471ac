"""Benchmark of the VWAP daily-return engine on 2520 dates x 5000 stocks.

Side by side in one run: the native engine end to end, the plain numpy per-day
implementation of the same algorithm, and a numpy sum over the same float inputs
(the memory-bandwidth floor). Also the hold rule (given=), the engine's peak extra
memory and the throughput of two backtests in two threads. Prints the ratios.

    python bench/bench_vwap.py [--days 2520] [--stocks 5000] [--layout F|C|mixed|store]

--layout C gives the frames row-major values (as the binary store's memory-mapped
matrices are); the default F is what pandas builds itself; mixed puts row-major
market frames beside column-major weights; store writes the market to a binary
prepared-data store, loads it back as memory maps and builds the weights with pandas
(the road of a real backtest). Any layout but F is also timed side by side against
all-column-major in-memory copies of the same values, and the ratio printed.
"""

from __future__ import annotations

import os

# Both sides run on one thread. An idle BLAS thread pool spins after numpy's dot
# products and takes the second core from whatever runs next.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import sys
import threading
import time
import tracemalloc

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from reference.vwap import vwap_daily_return_numpy  # noqa: E402

from tessary.backtest import _pnl_engine as pe  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from _common import timed  # noqa: E402
from layout_frames import LAYOUTS, market_in_layout, relaid, side_by_side, store_dir  # noqa: E402


def make_frames(days: int, stocks: int, seed: int = 0, layout: str = "F") -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    index = pd.Index(pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d"))
    columns = pd.Index([f"{i:06d}" for i in range(stocks)])
    shape = (days, stocks)
    prev = rng.uniform(3, 80, shape)
    if layout == "C":  # row-major values, kept as they are
        f = lambda a: pd.DataFrame(np.ascontiguousarray(a), index=index, columns=columns, copy=False)  # noqa: E731
    else:
        f = lambda a: pd.DataFrame(a, index=index, columns=columns)  # noqa: E731
    weight = np.where(rng.random(shape) < 0.1, 1.0 / 500, 0.0)
    split = np.where(rng.random(shape) < 0.001, 2.0, np.nan)
    dividend = np.where(rng.random(shape) < 0.002, 0.2, np.nan)
    return dict(
        signal_matrix=f(weight),
        can_buy_stock=f(rng.random(shape) > 0.02),
        cant_sell_stock=f(rng.random(shape) < 0.02),
        split_factor=f(split),
        dividend_factor=f(dividend),
        close_price=f(prev * (1 + rng.normal(0, 0.02, shape))),
        prev_close=f(prev),
        buy_price=f(prev * (1 + rng.normal(0, 0.01, shape))),
        sell_price=f(prev * (1 + rng.normal(0, 0.01, shape))),
    )


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--days", type=int, default=2520)
    ap.add_argument("--stocks", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=10)
    ap.add_argument("--layout", choices=LAYOUTS, default="F")
    args = ap.parse_args()
    with store_dir() as scratch:
        run(args, scratch)


def run(args, scratch) -> None:
    frames = make_frames(args.days, args.stocks)
    signal = frames.pop("signal_matrix")
    signal, market = market_in_layout(frames, signal, args.layout, scratch)
    frames = dict(signal_matrix=signal, **market)
    for key in ("signal_matrix", "close_price"):
        held = frames[key].to_numpy(copy=False)
        print(f"layout of {key}: {'column' if held.flags.f_contiguous else 'row'}-major"
              f"{'' if held.flags.writeable else ', read-only'}")
    float_keys = ["signal_matrix", "split_factor", "dividend_factor", "close_price", "prev_close",
                  "buy_price", "sell_price"]
    matrix_bytes = args.days * args.stocks * 8
    print(f"{args.days} dates x {args.stocks} stocks; one float matrix = {matrix_bytes / 2**20:.0f} MiB")

    native = lambda: pe.calc_strategy_vwap_daily_return(**frames)  # noqa: E731
    reference = lambda: vwap_daily_return_numpy(**frames)  # noqa: E731
    floor = lambda: [frames[k].to_numpy(copy=False).sum() for k in float_keys]  # noqa: E731

    got, want = native(), reference()
    err = float(np.max(np.abs(got.to_numpy() - want.to_numpy()) / np.maximum(np.abs(want.to_numpy()), 1e-300)))
    print(f"max relative difference native vs numpy reference: {err:.2e}")

    # This machine is shared and noisy: every figure is the best of several runs,
    # the slow reference included (three runs).
    t_native = timed(native, args.repeat)[0]
    t_ref = timed(reference, 3)[0]
    t_floor = timed(floor, args.repeat)[0]
    print(f"native engine end to end : {t_native * 1e3:8.1f} ms")
    print(f"numpy per-day reference  : {t_ref * 1e3:8.1f} ms   -> native is {t_ref / t_native:5.1f}x faster (goal >= 20x)")
    print(f"numpy sum of float inputs: {t_floor * 1e3:8.1f} ms   -> native / floor = {t_native / t_floor:4.2f} (goal <= 2.5)")

    # The hold rule (targets set every fifth date): one scalar step at every vector width.
    given = np.arange(len(frames["signal_matrix"].index)) % 5 == 0
    t_hold, _ = timed(lambda: pe.calc_strategy_vwap_daily_return(**frames, given=given), max(3, args.repeat // 2))
    print(f"hold rule, every 5th date: {t_hold * 1e3:8.1f} ms   -> {t_hold / t_native:4.2f}x the resize rule")

    if args.layout != "F":
        in_memory = {k: relaid(v, "F") for k, v in frames.items()}
        side_by_side(f"engine, layout {args.layout}", lambda: pe.calc_strategy_vwap_daily_return(**in_memory),
                     native)
        del in_memory

    tracemalloc.start()
    native()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"peak extra memory (numpy/Python allocations): {peak / matrix_bytes:.3f} day x stock float matrices "
          f"(goal <= 3)")

    def run_n(n_threads: int, per_thread: int) -> float:
        def work():
            for _ in range(per_thread):
                native()

        threads = [threading.Thread(target=work) for _ in range(n_threads)]
        t0 = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - t0

    per = 3
    ones, twos = [], []
    for _ in range(4):  # alternate, so that a slow spell of the machine hits both
        ones.append(run_n(1, per) / per)  # seconds per backtest, one thread
        twos.append(run_n(2, per) / (2 * per))  # seconds per backtest, two threads
    one, two = min(ones), min(twos)
    print(f"throughput two threads / one thread: {one / two:4.2f}x (goal >= 1.6x)")


if __name__ == "__main__":
    main()
