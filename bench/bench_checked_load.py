"""Cost of the checked load: the checksums of every file a load reads, compared once per
file version and process.

1. The checksum's throughput against a plain read of the same bytes in memory (a numpy
   sum over them, as uint64, on one and two threads): each CRC-32C kernel this
   processor runs on one thread, the one loads use on two, and SHA-256 (what stores
   written before carry).
2. A store of DAYS x STOCKS (all 17 datasets, written once), then in fresh processes
   (each figure the best of --pairs): the load of what run_backtest reads without the
   check, the same load checked the first time (every byte hashed) and again
   (remembered: nothing hashed), the check of the whole store, and run_backtest on the
   same store; beside them, what merely mapping the same files costs (a word read a
   page) and what reading all their bytes through a fresh mapping costs on two threads
   without any checksum: the floor of any check. The ratio of the first check to the
   backtest is the check's own time, the repeat's the "nothing after". The
   store's pages are in the page cache (just written), as for a store in daily use; a
   cold read from disk costs the backtest the same disk time with or without the check.
3. The first run_backtest of fresh processes, checked and unchecked in turn: what the
   check adds to a whole first backtest, page faults included. run_backtest starts the
   check of the market's files on a thread of its own before it takes the weights
   apart, and its loads wait for it: this is the goal's figure (at most 10 %).

    python bench/bench_checked_load.py [--days 2520] [--stocks 5000] [--dir DIR] [--keep] [--pairs 3]
                                       [--first-pairs 9]
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import hashlib
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

GB = 1e9


def best(fn, repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


KERNEL_LABELS = {
    "portable": "portable tables (slicing-by-8)",
    "sse42": "SSE4.2 CRC32, three streams (before)",
    "clmul": "PCLMULQDQ folding, 128-bit",
    "vpclmul": "VPCLMULQDQ folding, 256-bit",
    "armv8": "aarch64 CRC32C, three streams",
}


def plain_read_threads(buf: np.ndarray, threads: int) -> None:
    """A plain read of `buf` on `threads` threads (numpy sums release the GIL)."""
    from concurrent.futures import ThreadPoolExecutor

    parts = np.array_split(buf, threads)
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(lambda part: int(part.sum()), parts))


def section_throughput(size: int) -> None:
    from tessary.store._checksum import crc32c, kernel, kernels

    buf = np.random.default_rng(0).integers(0, 2**63, size // 8, dtype=np.uint64)
    raw = memoryview(buf).cast("B")
    plain = best(lambda: int(buf.sum()))
    rows = [("numpy sum (plain memory read)", plain, 1),
            ("numpy sum on 2 threads", best(lambda: plain_read_threads(buf, 2)), 2)]
    for name in kernels():
        rows.append((f"CRC-32C {KERNEL_LABELS.get(name, name)}",
                     best(lambda: crc32c(raw, kernel=name, threads=1), 1 if name == "portable" else 3), 1))
    rows.append((f"CRC-32C {kernel()} on 2 threads (loads)", best(lambda: crc32c(raw, threads=2)), 2))
    rows.append(("SHA-256 (stores written before)", best(lambda: hashlib.sha256(raw).digest(), 1), 1))
    print(f"1. checksum throughput over {size / GB:.2f} GB in memory (loads use: {kernel()})")
    for label, t, threads in rows:
        print(f"   {label:44s} {threads} thr {size / t / GB:7.2f} GB/s   {t / plain:5.2f}x the plain read")


def write_store(root: Path, days: int, stocks: int) -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from bench_store import Market

    from tessary.backtest import _prepare as P

    store = P.BinaryPreparedDataStore(root)
    started = time.perf_counter()
    store.write_payload(Market(days, stocks, 0).payload(0, days, 0))
    print(f"   store of {days} x {stocks} written in {time.perf_counter() - started:.1f} s")


def read_mapped(store, keys, whole: bool) -> None:
    """What a fresh mapping of the datasets' files costs without any checksum: one
    word read from every page (the kernel maps the page-cache pages), or, `whole`, a
    numpy sum over every byte on two threads (the plain read of all of them)."""
    import mmap
    from concurrent.futures import ThreadPoolExecutor

    paths = [p for p in (Path(store.store_dir) / "data").glob("*.log") if p.name.rsplit("-", 1)[0] in keys]
    with ThreadPoolExecutor(2) as pool:
        for path in paths:
            with open(path, "rb") as fh:
                size = os.fstat(fh.fileno()).st_size // 8 * 8
                if size == 0:
                    continue
                mapped = mmap.mmap(fh.fileno(), size, access=mmap.ACCESS_READ)
                words = np.frombuffer(mapped, dtype=np.uint64)
                if whole:
                    list(pool.map(lambda part: int(part.sum()), np.array_split(words, 2)))
                else:
                    int(words[:: mmap.PAGESIZE // 8].sum())
                del words
                mapped.close()


def measure(root: str) -> dict:
    """Runs in a fresh process: the first load of the store in it."""
    import warnings

    import pandas as pd

    from tessary.backtest import _prepare as P
    from tessary.backtest import run_backtest
    from tessary.backtest.api import ENGINE_DATASETS

    warnings.simplefilter("ignore")
    store = P.BinaryPreparedDataStore(root)
    keys = list(dict.fromkeys(["close_price", *ENGINE_DATASETS.values()])) + ["benchmark_dict"]
    out = {}
    out["plain"] = best(lambda: store.load(keys=keys, check=False))
    start = time.perf_counter()
    store.load(keys=keys)
    out["first"] = time.perf_counter() - start
    out["again"] = best(lambda: store.load(keys=keys))
    start = time.perf_counter()
    store.load()
    out["rest"] = time.perf_counter() - start  # the other datasets, checked for the first time
    out["pages"] = best(lambda: read_mapped(store, keys[:-1], False))
    out["read"] = best(lambda: read_mapped(store, keys[:-1], True))
    out["bytes"] = sum(
        df.shape[0] * df.shape[1] * df.to_numpy().dtype.itemsize
        for key, df in store.load(keys=keys[:-1])["data"].items()
    )
    close = store.load(keys=["close_price"])["data"]["close_price"]
    rng = np.random.default_rng(1)
    picks = rng.random(close.shape) < 0.1
    weights = pd.DataFrame(np.where(picks, 1.0, 0.0), index=close.index, columns=close.columns)
    weights = weights.div(weights.sum(axis=1).where(lambda s: s > 0), axis=0).fillna(0.0)
    out["backtest"] = best(lambda: run_backtest(weights, store, benchmark="000300"), 2)
    return out


def first_backtest(root: str, checked: bool) -> float:
    """Runs in a fresh process: the time of its first run_backtest, which loads (and,
    `checked`, checks) the store; unchecked, every file counts as verified already."""
    import warnings

    import pandas as pd

    from tessary.backtest import _prepare as P
    from tessary.backtest import run_backtest
    from tessary.store import checksums

    warnings.simplefilter("ignore")
    store = P.BinaryPreparedDataStore(root)
    if not checked:
        checksums.already_verified = lambda key: True
    close = store.load(keys=["close_price"], check=False)["data"]["close_price"]
    picks = np.random.default_rng(1).random(close.shape) < 0.1
    weights = pd.DataFrame(np.where(picks, 1.0, 0.0), index=close.index, columns=close.columns)
    weights = weights.div(weights.sum(axis=1).where(lambda s: s > 0), axis=0).fillna(0.0)
    start = time.perf_counter()
    run_backtest(weights, store, benchmark="000300")
    return time.perf_counter() - start


def section_first_backtest(root: Path, pairs: int) -> None:
    """The whole first run_backtest of a process with and without the check, in fresh
    processes taken in turn: what the check adds to it, mapping faults included."""
    times: dict[bool, list] = {True: [], False: []}
    for _ in range(pairs):
        for checked in (True, False):
            done = subprocess.run([sys.executable, __file__, "--first", str(root), "--checked", str(int(checked))],
                                  check=True, capture_output=True, text=True)
            times[checked].append(float(done.stdout.strip().splitlines()[-1]))
    on, off = min(times[True]), min(times[False])
    med_on, med_off = float(np.median(times[True])), float(np.median(times[False]))
    print(f"3. the first run_backtest of a fresh process ({pairs} of each kind, taken in turn; the market's")
    print("   files are hashed on a thread of their own while run_backtest takes the weights apart)")
    print(f"   best:   checked {on:.3f} s, unchecked {off:.3f} s: the check adds {on - off:.3f} s, "
          f"{(on - off) / off * 100:.1f} % (goal: at most 10 %)")
    print(f"   median: checked {med_on:.3f} s, unchecked {med_off:.3f} s: the check adds {med_on - med_off:.3f} s, "
          f"{(med_on - med_off) / med_off * 100:.1f} %")


def report_load(m: dict) -> None:
    check = m["first"] - m["plain"]
    print(f"   run_backtest's datasets: {m['bytes'] / GB:.2f} GB")
    print(f"   load without the check                    {m['plain']:8.3f} s")
    print(f"   load checked, first time in the process   {m['first']:8.3f} s   "
          f"(the check: {check:.3f} s, {m['bytes'] / max(check, 1e-9) / GB:.1f} GB/s)")
    print(f"   mapping the same files, a word a page     {m['pages']:8.3f} s   "
          f"({m['pages'] / m['backtest'] * 100:5.1f} % of run_backtest)")
    print(f"   mapping them and summing every word       {m['read']:8.3f} s   "
          f"({m['read'] / m['backtest'] * 100:5.1f} % of run_backtest: the floor of any check, 2 threads)")
    print(f"   load checked again                        {m['again']:8.3f} s   "
          f"(+{m['again'] - m['plain']:.4f} s against the unchecked load)")
    print(f"   the other datasets, first check           {m['rest']:8.3f} s")
    print(f"   run_backtest                              {m['backtest']:8.3f} s")
    print(f"   first check / run_backtest                {check / m['backtest'] * 100:7.1f} %   "
          "(the check's own time; run_backtest overlaps it with its own work: 3.)")
    print(f"   later checks / run_backtest               {(m['again'] - m['plain']) / m['backtest'] * 100:7.2f} %")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--days", type=int, default=2520)
    ap.add_argument("--stocks", type=int, default=5000)
    ap.add_argument("--hash-mb", type=int, default=512, help="buffer of the throughput figures")
    ap.add_argument("--dir", type=Path, default=Path(__file__).resolve().parent / "out")
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--pairs", type=int, default=3, help="fresh processes of each kind in section 2")
    ap.add_argument("--first-pairs", type=int, default=9, help="fresh processes of each kind in section 3")
    ap.add_argument("--measure", help=argparse.SUPPRESS)
    ap.add_argument("--first", help=argparse.SUPPRESS)
    ap.add_argument("--checked", type=int, default=1, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure:
        print(json.dumps(measure(args.measure)))
        return 0
    if args.first:
        print(first_backtest(args.first, bool(args.checked)))
        return 0

    section_throughput(args.hash_mb << 20)
    root = args.dir / "checked-store"
    print(f"2. checked load against run_backtest, {args.days} dates x {args.stocks} stocks")
    if not (root / "metadata.pkl").exists():
        write_store(root, args.days, args.stocks)
    try:
        runs = []
        for _ in range(args.pairs):  # fresh processes: each figure's best
            done = subprocess.run([sys.executable, __file__, "--measure", str(root)], check=True,
                                  capture_output=True, text=True)
            runs.append(json.loads(done.stdout.strip().splitlines()[-1]))
        first_checks = sorted(r["first"] - r["plain"] for r in runs)
        m = {key: min(r[key] for r in runs) for key in runs[0]}
        m["first"] = m["plain"] + first_checks[0]
        report_load(m)
        print(f"   the check in each fresh process           " + ", ".join(f"{c:.3f}" for c in first_checks) + " s")
        section_first_backtest(root, args.first_pairs)
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
