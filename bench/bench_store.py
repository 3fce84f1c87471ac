"""Benchmark of the binary prepared-data store with a full-size payload.

All 17 datasets of 2520 dates x 5000 stocks (about 1.5 GB): write_payload throughput
against a plain numpy.save of the same arrays, load() with memory maps (time and
resident-memory growth), and a one-year load (bytes actually read).

    python bench/bench_store.py [--dir DIR] [--keep]

The store is written under DIR (default: bench/out beside this file) and removed
afterwards unless --keep is given.
"""

from __future__ import annotations

import argparse
import gc
import os
import shutil
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from tessary.backtest import _prepare as P

N_DATES, N_STOCKS = 2520, 5000
MB = 1e6


def rss_bytes() -> int:
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


def bytes_read() -> int:
    """Bytes this process has read through read() calls (not through page faults)."""
    with open("/proc/self/io") as fh:
        for line in fh:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    raise RuntimeError("no rchar")


def make_payload() -> dict:
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2010-01-04", periods=N_DATES)]
    codes = [f"{i:06d}" for i in range(N_STOCKS)]
    rng = np.random.default_rng(0)
    floats = rng.random((N_DATES, N_STOCKS))
    flags = floats > 0.3
    data = {}
    for i, (key, dtype) in enumerate(P.build_matrix_dtype().items()):
        # Each dataset gets its own array, so that no write profits from another's cache.
        values = flags.copy() if dtype == "bool" else floats + i
        data[key] = pd.DataFrame(values, index=dates, columns=codes, copy=False)
    data["benchmark_dict"] = {
        name: pd.Series(rng.normal(0, 0.01, N_DATES), index=dates, name="index_daily_return")
        for name in P.BENCHMARK_INDEX_CODES
    }
    return {"version": P.PREPARED_DATA_VERSION, "meta": {"start_date": dates[0], "end_date": dates[-1]}, "data": data}


def timed(fn, repeat=1):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", type=Path, default=Path(__file__).resolve().parent / "out")
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    root = args.dir / "bench_store"
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    free = shutil.disk_usage(root).free
    try:
        payload = make_payload()
        arrays = {k: v.to_numpy() for k, v in payload["data"].items() if k != "benchmark_dict"}
        size = sum(a.nbytes for a in arrays.values())
        print(f"payload: {len(arrays)} datasets of {N_DATES} x {N_STOCKS}, {size / MB:.0f} MB")
        print(f"disk free: {free / 1e9:.0f} GB")
        if free < 4 * size:
            print("not enough free disk space")
            return 1

        # numpy.save of the same arrays, as plain as it gets (and once more with fsync).
        plain = root / "plain"
        plain.mkdir()

        def save_all(sync: bool):
            for key, arr in arrays.items():
                with open(plain / f"{key}.npy", "wb") as fh:
                    np.save(fh, arr)
                    if sync:
                        fh.flush()
                        os.fsync(fh.fileno())

        t_save, _ = timed(lambda: save_all(False))
        t_save_sync, _ = timed(lambda: save_all(True))
        shutil.rmtree(plain)

        store = P.BinaryPreparedDataStore(root / "store")
        t_write, _ = timed(lambda: store.write_payload(payload))
        t_rewrite, _ = timed(lambda: store.write_payload(payload))
        print(f"numpy.save:            {t_save:6.2f} s  {size / MB / t_save:7.0f} MB/s")
        print(f"numpy.save + fsync:    {t_save_sync:6.2f} s  {size / MB / t_save_sync:7.0f} MB/s")
        print(f"write_payload:         {t_write:6.2f} s  {size / MB / t_write:7.0f} MB/s  (new store)")
        print(f"write_payload:         {t_rewrite:6.2f} s  {size / MB / t_rewrite:7.0f} MB/s  (replacing a payload)")
        del arrays, payload
        gc.collect()

        # load() with memory maps: nothing but headers and axes is read.
        t_load, _ = timed(lambda: store.load(), repeat=5)
        gc.collect()
        before = rss_bytes()
        out = store.load()
        grown = rss_bytes() - before
        assert len(out["data"]) == 17 and all(df.shape == (N_DATES, N_STOCKS) for df in out["data"].values())
        verdict = "ok" if t_load <= 0.1 and grown < 0.1 * size else "TOO SLOW / TOO LARGE"
        print(
            f"load(mmap=True), all:  {t_load * 1e3:6.1f} ms, resident memory +{grown / MB:.1f} MB "
            f"({100 * grown / size:.2f} % of the data) [{verdict}]"
        )
        del out
        gc.collect()

        # One year: the copying load reads just its rows; the mapped one touches just their pages.
        year = ("20150101", "20151231")
        read_before = bytes_read()
        t_year, out = timed(lambda: store.load(*year, mmap=False))
        read = bytes_read() - read_before
        rows = len(out["data"]["close_price"])
        year_size = sum(df.to_numpy().nbytes for df in out["data"].values())
        print(
            f"load(mmap=False), one year ({rows} rows): {t_year * 1e3:6.1f} ms, read {read / MB:.1f} MB "
            f"for {year_size / MB:.1f} MB of rows ({100 * read / size:.1f} % of the file bytes)"
        )
        del out
        gc.collect()
        before = rss_bytes()
        out = store.load(*year)
        total = sum(float(df.to_numpy().sum(dtype=np.float64)) for df in out["data"].values())
        grown = rss_bytes() - before
        print(
            f"load(mmap=True), one year, every value summed: resident memory +{grown / MB:.1f} MB "
            f"for {year_size / MB:.1f} MB of rows (checksum {total:.6g})"
        )
        del out
        t_full, _ = timed(lambda: store.load(mmap=False))
        print(f"load(mmap=False), all: {t_full:6.2f} s  {size / MB / t_full:7.0f} MB/s")
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
