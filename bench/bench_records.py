"""Benchmark of the trade records on 2520 dates x 5000 stocks, about 500 held a day.

Side by side in one run: the return engine alone (calc_strategy_vwap_daily_return),
the native recording pass (the records as arrays), and the records with all five
frames built; then the engine and the pass again with the process held to one core
(as when the machine's other cores are busy; the pass records on one thread either
way). Memory: the record
buffers the pass allocates and the peak growth of the process while it runs, beside
the size of one date x stock float matrix, at two holding sizes (memory should follow
the number of records, not dates x stocks).
Prints the ratios.

    python bench/bench_records.py [--days 2520] [--stocks 5000] [--held 500] [--layout F|C|both]

F gives the frames column-major values (what pandas builds itself), C row-major ones
(as the binary store's memory-mapped matrices are); by default both are timed, and
the memory figures are taken on the first.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import threading
import time

import numpy as np
import pandas as pd

from tessary.backtest import _pnl_engine as pe
from tessary.backtest import _records
from tessary.backtest.records import compute_records

MARKET_KEYS = ["can_buy_stock", "cant_sell_stock", "split_factor", "dividend_factor", "close_price", "prev_close",
               "buy_price", "sell_price"]


def make_frames(days: int, stocks: int, held: int, seed: int = 0, layout: str = "F") -> dict[str, pd.DataFrame]:
    """Equal weights on `held` stocks a day, 5 % of them replaced every day."""
    rng = np.random.default_rng(seed)
    index = pd.Index(pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d"))
    columns = pd.Index([f"{i:06d}" for i in range(stocks)])
    shape = (days, stocks)
    if layout == "C":
        f = lambda a: pd.DataFrame(np.ascontiguousarray(a), index=index, columns=columns, copy=False)  # noqa: E731
    else:
        f = lambda a: pd.DataFrame(a, index=index, columns=columns)  # noqa: E731
    weight = np.zeros(shape)
    chosen = rng.choice(stocks, held, replace=False)
    swap = max(1, held // 20)
    for i in range(days):
        leaving = rng.choice(held, swap, replace=False)
        pool = np.setdiff1d(np.arange(stocks), chosen)
        chosen[leaving] = rng.choice(pool, swap, replace=False)
        weight[i, chosen] = 1.0 / held
    prev = rng.uniform(3, 80, shape)
    return dict(
        strategy_matrix=f(weight),
        can_buy_stock=f(rng.random(shape) > 0.02),
        cant_sell_stock=f(rng.random(shape) < 0.02),
        split_factor=f(np.where(rng.random(shape) < 0.001, 2.0, np.nan)),
        dividend_factor=f(np.where(rng.random(shape) < 0.002, 0.2, np.nan)),
        close_price=f(prev * (1 + rng.normal(0, 0.02, shape))),
        prev_close=f(prev),
        buy_price=f(prev * (1 + rng.normal(0, 0.01, shape))),
        sell_price=f(prev * (1 + rng.normal(0, 0.01, shape))),
    )


def best_of(fn, repeat: int) -> tuple[float, float]:
    """The best wall time and the best processor time (all threads) of `repeat` runs."""
    wall, cpu = [], []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        fn()
        wall.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
    return min(wall), min(cpu)


def best_pair(a, b) -> tuple[float, float]:
    return min(a[0], b[0]), min(a[1], b[1])


def rss_bytes() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_growth(fn) -> int:
    """The highest resident size while `fn` runs, less the size before (sampled)."""
    before = rss_bytes()
    peak = [before]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_bytes())
            time.sleep(0.001)

    t = threading.Thread(target=sample)
    t.start()
    try:
        result = fn()
        peak[0] = max(peak[0], rss_bytes())
    finally:
        done.set()
        t.join()
    del result
    return peak[0] - before


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--days", type=int, default=2520)
    ap.add_argument("--stocks", type=int, default=5000)
    ap.add_argument("--held", type=int, default=500)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--layout", choices=["F", "C", "both"], default="both")
    ap.add_argument("--child", choices=["records", "engine"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args)
    layouts = ["F", "C"] if args.layout == "both" else [args.layout]
    for layout in layouts:
        time_layout(args, layout)
    # Memory, each figure from a fresh process (a process that already ran the pass
    # reuses the memory it freed, which would hide the growth).
    matrix_bytes = args.days * args.stocks * 8
    print(f"memory ({'column' if layouts[0] == 'F' else 'row'}-major values):")
    for held in (args.held, max(1, args.held // 10)):
        fig = {what: child_figures(args, held, what, layouts[0]) for what in ("records", "engine")}
        n_records, buffers, grown = fig["records"]
        print(f"held {held:4d}: {n_records:10,} records; record tables {buffers / 2**20:7.1f} MiB "
              f"({buffers / max(n_records, 1):4.1f} B/record); peak growth while running: recording "
              f"{grown / 2**20:7.1f} MiB = {grown / matrix_bytes:5.2f} float matrices "
              f"({grown / max(n_records, 1):5.1f} B/record), engine {fig['engine'][2] / 2**20:6.1f} MiB")


def time_layout(args, layout: str) -> None:
    """Times the engine and the recording pass side by side on one market."""
    frames = make_frames(args.days, args.stocks, args.held, layout=layout)
    matrix_bytes = args.days * args.stocks * 8
    positional = [frames["strategy_matrix"], *[frames[k] for k in MARKET_KEYS]]
    print(f"{args.days} dates x {args.stocks} stocks, {args.held} held a day, "
          f"{'column' if layout == 'F' else 'row'}-major values; one float matrix = {matrix_bytes / 2**20:.0f} MiB")

    engine = lambda: pe.calc_strategy_vwap_daily_return(*positional)  # noqa: E731
    native = lambda: _records.calc_strategy_vwap_records(*positional)  # noqa: E731
    frames_built = lambda: compute_records(**frames).frames()  # noqa: E731

    raw = native()
    counts = {k: len(raw[k]["day"]) for k in ("trades", "blocked", "positions", "pnl")}
    same = np.array_equal(raw["daily"]["pnl"] / 1e8, engine().to_numpy())
    print("records: " + ", ".join(f"{k} {v:,}" for k, v in counts.items()) +
          f"; daily returns identical to the engine's: {same}; recorded on {raw['threads']} thread(s)")
    del raw

    # The machine is shared and noisy: each figure is the best of several runs,
    # taken in turns. Processor time counts every thread of the process (the pass
    # and the engine each run on one).
    t_engine = best_of(engine, args.repeat)
    t_native = best_of(native, args.repeat)
    t_frames = best_of(frames_built, max(2, args.repeat // 2))
    t_engine = best_pair(t_engine, best_of(engine, args.repeat))
    t_native = best_pair(t_native, best_of(native, args.repeat))

    def line(label, t):
        return (f"{label:29s}: {t[0] * 1e3:8.1f} ms   -> {t[0] / t_engine[0]:4.2f}x the engine; "
                f"processor time {t[1] * 1e3:7.1f} ms -> {t[1] / t_engine[1]:4.2f}x")

    print(f"{'return engine alone':29s}: {t_engine[0] * 1e3:8.1f} ms; processor time {t_engine[1] * 1e3:7.1f} ms")
    print(line("recording pass (arrays)", t_native) + "   (goal: <= 1.5x)")
    print(line("records with all five frames", t_frames))
    one_core(args, engine, native)


def one_core(args, engine, native) -> None:
    """The engine and the recording pass with the process held to one core (as on a
    machine whose other cores are taken)."""
    if not hasattr(os, "sched_setaffinity"):
        return
    cores = os.sched_getaffinity(0)
    if len(cores) < 2:
        return  # already on one core: the figures above are these
    os.sched_setaffinity(0, {min(cores)})
    try:
        threads = native()["threads"]
        t_engine = best_of(engine, args.repeat)
        t_native = best_of(native, args.repeat)
        t_engine = best_pair(t_engine, best_of(engine, args.repeat))
        t_native = best_pair(t_native, best_of(native, args.repeat))
    finally:
        os.sched_setaffinity(0, cores)
    print(f"{'on one core: engine':29s}: {t_engine[0] * 1e3:8.1f} ms; recording pass {t_native[0] * 1e3:6.1f} ms "
          f"-> {t_native[0] / t_engine[0]:4.2f}x the engine (recorded on {threads} thread(s))")


def child_figures(args, held: int, what: str, layout: str) -> tuple[int, int, int]:
    """(records, bytes of the record tables, peak growth) of one run in a new process."""
    import subprocess
    import sys

    cmd = [sys.executable, __file__, "--days", str(args.days), "--stocks", str(args.stocks), "--held", str(held),
           "--layout", layout, "--child", what]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1]), int(out[2])


def child(args) -> None:
    import ctypes
    import gc

    frames = make_frames(args.days, args.stocks, args.held, layout=args.layout)
    # Hand the memory freed while the market was made back to the system, so that the
    # pass cannot hide its growth in it.
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    positional = [frames["strategy_matrix"], *[frames[k] for k in MARKET_KEYS]]
    if args.child == "engine":
        print(0, 0, peak_growth(lambda: pe.calc_strategy_vwap_daily_return(*positional)))
        return
    kept = {}

    def run():
        kept["raw"] = _records.calc_strategy_vwap_records(*positional)
        return kept["raw"]

    grown = peak_growth(run)
    raw = kept.pop("raw")
    print(sum(len(raw[k]["day"]) for k in ("trades", "blocked", "positions", "pnl")), raw["buffer_bytes"], grown)

if __name__ == "__main__":
    main()
