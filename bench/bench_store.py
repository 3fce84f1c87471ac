"""Benchmark of the binary prepared-data store at full size.

All 17 datasets of 2520 dates x 5000 stocks (about 1.5 GB), in one run:

1. write_payload (a whole write) against a plain numpy.save of the same arrays;
   load() on the fresh store: memory-mapped (time, resident-memory growth), one year
   copied (bytes read) and everything copied (throughput).
2. One new day (with the two rebuilt tail days) through update_payload: bytes written,
   time and peak resident-memory growth, against rewriting the whole store (what an
   update cost before: the ratio is printed).
3. 250 daily updates in a row (the three of step 2 included; new listings and
   delistings among them), then a load:
   compared to the bit with a store written whole from the same data, and its load
   time and memory against the fresh store's; then compact().
4. `tessary-backtest build` of one new day from a DuckDB file of a synthetic market of
   the same size, end to end in its own process (time, peak RSS), against the full
   build of that file.

    python bench/bench_store.py [--dir DIR] [--keep] [--days 2520] [--stocks 5000]
                                [--updates 250] [--skip-build]

Stores are written under DIR (default: bench/out beside this file) and removed
afterwards unless --keep is given.
"""

from __future__ import annotations

import argparse
import gc
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

from _common import timed
from tessary.backtest import _prepare as P

MB = 1e6
BOOL_FILL = {"can_buy_stock": False, "cant_sell_stock": True}


def proc_field(path: str, field: str) -> int:
    with open(path) as fh:
        for line in fh:
            if line.startswith(field):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in {path}")


def rss_bytes() -> int:
    return proc_field("/proc/self/status", "VmRSS:") * 1024


def peak_rss_bytes() -> int:
    return proc_field("/proc/self/status", "VmHWM:") * 1024


def reset_peak_rss() -> None:
    """Resets the peak resident size (VmHWM) of this process to its current size."""
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")


def bytes_written() -> int:
    """Bytes this process has handed to write() and pwrite() calls."""
    return proc_field("/proc/self/io", "wchar:")


def store_bytes(root: Path) -> int:
    return sum(f.stat().st_size for f in root.rglob("*") if f.is_file())


class Market:
    """A deterministic market of `days` + `updates` dates: `stocks` codes from the start,
    then one listing every second update day and a few delistings. Every value depends
    on (date, code, dataset, version), the version being the update that wrote it, so a
    rebuilt tail day differs from its first version."""

    def __init__(self, days: int, stocks: int, updates: int):
        self.days, self.updates = days, updates
        total = days + updates
        self.dates = np.array([d.strftime("%Y%m%d") for d in pd.bdate_range("2010-01-04", periods=total)])
        new = max(0, updates // 2 - 1)
        self.codes = np.array([f"{i:06d}" for i in range(stocks)] + [f"{900000 + j:06d}" for j in range(new)])
        self.listed = np.concatenate([np.zeros(stocks, int), days + 2 * np.arange(new) + 1])
        self.delisted = np.full(len(self.codes), total + 1)
        for j in range(min(20, stocks)):  # delistings during the updates
            self.delisted[stocks - 1 - 37 * j] = days + (updates * j) // 20 + 1
        self.base = np.random.default_rng(0).random((total, len(self.codes)))
        self.dtypes = P.build_matrix_dtype()

    def values(self, i: int, key: str, rows: slice, cols: np.ndarray, version) -> np.ndarray:
        base = self.base[rows][:, cols]
        v = np.asarray(version, dtype=np.float64).reshape(-1, 1)
        positions = np.arange(rows.start, rows.stop)[:, None]
        active = (self.listed[cols] <= positions) & (positions < self.delisted[cols])
        if self.dtypes[key] == "bool":
            return np.where(active, ((base * 7 + 0.1 * v + 0.37 * i) % 1.0) > 0.3, BOOL_FILL.get(key, False))
        return np.where(active, base + i + 0.001 * v, np.nan)

    def payload(self, lo: int, hi: int, version) -> dict:
        """Rows [lo, hi) over the codes active on any of them."""
        positions = np.arange(lo, hi)[:, None]
        cols = np.flatnonzero(((self.listed <= positions) & (positions < self.delisted)).any(axis=0))
        index, columns = pd.Index(self.dates[lo:hi]), pd.Index(self.codes[cols])
        data = {
            key: pd.DataFrame(self.values(i, key, slice(lo, hi), cols, version), index=index, columns=columns)
            for i, key in enumerate(self.dtypes)
        }
        per_row = np.broadcast_to(np.asarray(version, dtype=np.float64).reshape(-1), (hi - lo,))
        data["benchmark_dict"] = {
            name: pd.Series(self.base[lo:hi, k] + 0.001 * per_row, index=index, name="index_daily_return")
            for k, name in enumerate(P.BENCHMARK_INDEX_CODES)
        }
        return {"version": P.PREPARED_DATA_VERSION, "meta": {"end_date": str(self.dates[hi - 1])}, "data": data}

    def update(self, k: int) -> dict:
        """Daily update k (1-based): the last two stored days rebuilt and one new day."""
        return self.payload(self.days + k - 3, self.days + k, k)

    def final(self, updates: int) -> dict:
        """Everything after `updates` updates, as one payload (for a whole write)."""
        hi = self.days + updates
        positions = np.arange(hi)
        version = np.clip(positions - self.days + 3, 0, updates)
        version[positions < self.days - 2] = 0
        return self.payload(0, hi, version)


def load_figures(store) -> tuple[float, int, int]:
    """Best time of a whole mapped load, its resident-memory growth and the bytes it maps."""
    gc.collect()
    t, _ = timed(lambda: store.load(), repeat=5)
    gc.collect()
    before = rss_bytes()
    out = store.load()
    grown = rss_bytes() - before
    loaded = sum(df.shape[0] * df.shape[1] * df.to_numpy().dtype.itemsize for df in out["data"].values())
    del out
    return t, grown, loaded


def section_whole_and_update(root: Path, market: Market) -> dict:
    first = market.payload(0, market.days, 0)
    arrays = {k: v.to_numpy() for k, v in first["data"].items() if k != "benchmark_dict"}
    size = sum(a.nbytes for a in arrays.values())
    print(f"store: {len(arrays)} datasets of {market.days} x {len(arrays['close_price'].T)} stocks, {size / MB:.0f} MB")

    plain = root / "plain"
    plain.mkdir()

    def save_all():
        for key, arr in arrays.items():
            with open(plain / f"{key}.npy", "wb") as fh:
                np.save(fh, arr)
                fh.flush()
                os.fsync(fh.fileno())

    t_save, _ = timed(save_all)
    shutil.rmtree(plain)
    del arrays
    store = P.BinaryPreparedDataStore(root / "store")
    w0 = bytes_written()
    t_write, _ = timed(lambda: store.write_payload(first))
    whole_bytes = bytes_written() - w0
    del first
    gc.collect()
    print(f"numpy.save + fsync:       {t_save:6.2f} s")
    print(f"write_payload (whole):    {t_write:6.2f} s  {whole_bytes / MB:7.0f} MB written  "
          f"(numpy.save / write_payload = {t_save / t_write:.2f})")
    t_fresh, rss_fresh, loaded = load_figures(store)
    print(f"load(mmap=True) fresh:    {t_fresh * 1e3:6.1f} ms, resident memory +{rss_fresh / MB:.1f} MB "
          f"({100 * rss_fresh / loaded:.2f} % of {loaded / MB:.0f} MB loaded)")

    # One year copied into memory reads just its rows; a whole copy reads everything.
    gc.collect()
    year = (market.dates[market.days // 2], market.dates[min(market.days, market.days // 2 + 249)])
    read0 = proc_field("/proc/self/io", "rchar:")
    t_year, out = timed(lambda: store.load(*year, mmap=False))
    read = proc_field("/proc/self/io", "rchar:") - read0
    year_size = sum(df.to_numpy().nbytes for df in out["data"].values())
    del out
    print(f"load(mmap=False), one year: {t_year * 1e3:6.1f} ms, read {read / MB:.1f} MB for {year_size / MB:.1f} MB "
          f"of rows ({100 * read / size:.1f} % of the store)")
    t_copy, out = timed(lambda: store.load(mmap=False))
    del out
    gc.collect()
    print(f"load(mmap=False), all:    {t_copy:6.2f} s  {size / MB / t_copy:7.0f} MB/s")

    # One new day with the two rebuilt tail days, three days in a row: the machine is
    # shared and the first fsyncs may wait for the whole write's data; the best counts.
    runs = []
    for k in (1, 2, 3):
        update = market.update(k)
        gc.collect()
        reset_peak_rss()
        before_rss = rss_bytes()
        w0 = bytes_written()
        t_update, _ = timed(lambda: store.update_payload(update))
        runs.append((t_update, bytes_written() - w0, peak_rss_bytes() - before_rss))
    t_update, wrote, peak = min(runs)
    total = store_bytes(store.store_dir)
    ok = wrote <= 0.01 * total and t_update <= 0.5 and peak <= 200 * MB
    print(f"update_payload, one day:  {t_update:6.3f} s  {wrote / MB:7.2f} MB written "
          f"({100 * wrote / total:.3f} % of the {total / MB:.0f} MB store), peak RSS +{peak / MB:.1f} MB "
          f"[{'ok' if ok else 'OVER TARGET'}]  (the three days: "
          + ", ".join(f"{t:.3f} s" for t, _, _ in runs) + ")")
    print(f"   against a whole rewrite: {whole_bytes / max(wrote, 1):,.0f}x fewer bytes, "
          f"{t_write / t_update:,.0f}x faster")
    return {"store": store, "t_fresh": t_fresh, "rss_fresh": rss_fresh, "t_write": t_write}


def section_many_updates(root: Path, market: Market, state: dict) -> None:
    store = state["store"]
    times, wrote = [], []
    start = time.perf_counter()
    for k in range(4, market.updates + 1):
        update = market.update(k)
        w0 = bytes_written()
        t, _ = timed(lambda: store.update_payload(update))
        times.append(t)
        wrote.append(bytes_written() - w0)
        if k % 50 == 0:
            print(f"   ... {k} updates, {time.perf_counter() - start:.0f} s", flush=True)
    extents = max(len(d["extents"]) for d in store.load_metadata()["datasets"].values())
    print(f"{market.updates} daily updates: mean {np.mean(times):.3f} s (max {max(times):.3f} s), "
          f"mean {np.mean(wrote) / MB:.2f} MB written (max {max(wrote) / MB:.1f} MB); at most {extents} extents "
          "per dataset")
    # The same data written whole: a fresh store to load side by side, and to compare to the bit.
    final = market.final(market.updates)
    whole = P.BinaryPreparedDataStore(root / "whole")
    whole.write_payload(final)
    del final
    gc.collect()
    # Loads of both stores alternate, so that both meet the same state of a shared machine.
    t_load = t_whole = float("inf")
    for _ in range(10):
        t_load = min(t_load, timed(lambda: store.load())[0])
        t_whole = min(t_whole, timed(lambda: whole.load())[0])
    _, rss_load, loaded = load_figures(store)
    ok = t_load <= 2 * t_whole and rss_load <= 0.1 * loaded
    print(f"load(mmap=True) updated:  {t_load * 1e3:6.1f} ms against {t_whole * 1e3:.1f} ms for the same data "
          f"written whole ({t_load / t_whole:.2f}x), resident memory +{rss_load / MB:.1f} MB "
          f"({100 * rss_load / loaded:.2f} % of {loaded / MB:.0f} MB loaded) [{'ok' if ok else 'OVER TARGET'}]")
    got, want = store.load(), whole.load()
    differ = []
    for key, frame in want["data"].items():
        other = got["data"][key]
        same = frame.index.equals(other.index) and frame.columns.equals(other.columns)
        a, b = frame.to_numpy(), other.to_numpy()
        same = same and a.dtype == b.dtype and a.shape == b.shape
        if same:
            for r0 in range(0, a.shape[0], 256):  # bytes compared in slices: no full copies
                if not np.array_equal(np.ascontiguousarray(a[r0 : r0 + 256]).view(np.uint8),
                                      np.ascontiguousarray(b[r0 : r0 + 256]).view(np.uint8)):
                    same = False
                    break
        if not same:
            differ.append(key)
    bench_got, bench_want = store.load_benchmark_dict(), whole.load_benchmark_dict()
    differ += [n for n in bench_want if not bench_want[n].equals(bench_got.get(n))]
    print(f"after {market.updates} updates against a whole write of the same data: "
          f"{'equal to the bit, every dataset and benchmark' if not differ else 'DIFFERENT: ' + ', '.join(differ)}")
    del got, want
    shutil.rmtree(root / "whole")
    t_compact, n = timed(store.compact)
    t_load, rss_load, loaded = load_figures(store)
    print(f"compact(): {t_compact:.1f} s, {n} datasets rewritten; load afterwards {t_load * 1e3:.1f} ms, "
          f"+{rss_load / MB:.1f} MB")


# The peak RSS comes from VmHWM: ru_maxrss would carry over the parent's peak at the fork.
CHILD = """
import sys, time
from tessary.cli import main
start = time.perf_counter()
code = main(sys.argv[1:])
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(f"BENCH {code} {time.perf_counter() - start:.3f} {peak}", file=sys.stderr)
"""


def run_cli(*args: str) -> tuple[float, float]:
    """Runs the command in a process of its own: (seconds end to end, peak RSS in MB)."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", CHILD, *args], capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    line = [ln for ln in done.stderr.splitlines() if ln.startswith("BENCH ")]
    if done.returncode or not line or line[-1].split()[1] != "0":
        raise RuntimeError(f"{args} failed:\n{done.stderr[-2000:]}")
    print("  ", done.stdout.strip())
    return elapsed, int(line[-1].split()[3]) * 1024 / MB


def section_build(root: Path, stocks: int, years: float) -> None:
    db = root / "market.duckdb"
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", (
        "import sys; from tessary.synthetic import generate_market; "
        f"generate_market(n_stocks={stocks}, years={years}, seed=3).to_duckdb(sys.argv[1])"), str(db)], check=True)
    print(f"synthetic market of {stocks} stocks x {years:g} years into DuckDB: {time.perf_counter() - start:.0f} s")
    import duckdb

    from tessary.local import FACTOR_TABLE

    with duckdb.connect(str(db), read_only=True) as con:
        query = f"SELECT DISTINCT strftime(date, '%Y%m%d') AS d FROM {FACTOR_TABLE} ORDER BY d"
        days = [row[0] for row in con.execute(query).fetchall()]
    last_but_one = days[-2]
    t_full, rss_full = run_cli("build", str(db), str(root / "built"), "--end", last_but_one)
    print(f"tessary-backtest build, full ({len(days) - 1} days): {t_full:.1f} s, peak RSS {rss_full:.0f} MB")
    t_one, rss_one = run_cli("build", str(db), str(root / "built"))
    ok = t_one <= 3 and rss_one <= 600
    print(f"tessary-backtest build, one new day: {t_one:.2f} s end to end, peak RSS {rss_one:.0f} MB "
          f"({t_full / t_one:.0f}x faster than the full build) [{'ok' if ok else 'OVER TARGET'}]")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", type=Path, default=Path(__file__).resolve().parent / "out")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--days", type=int, default=2520)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--updates", type=int, default=250)
    parser.add_argument("--skip-build", action="store_true", help="leave out the DuckDB build (section 4)")
    args = parser.parse_args()
    root = args.dir / "bench_store"
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    try:
        market = Market(args.days, args.stocks, args.updates)
        state = section_whole_and_update(root, market)
        section_many_updates(root, market, state)
        del state
        shutil.rmtree(root / "store")
        if not args.skip_build:
            section_build(root, args.stocks, args.days / 252)
    finally:
        if not args.keep:
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
