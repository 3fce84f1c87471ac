"""Throughput, scaling, Dask overhead and memory of parameter sweeps.

24 combinations on a random store of 2520 dates x 5000 stocks: momentum lookback
20/60/120 x share 5 %/10 % x rolling_window 0/5 x fee 1e-4/3e-4.

1. The loop a researcher writes without sweeps: for each combination, the momentum
   in plain pandas, then ``run_strategy_backtest_core``; against ``run_sweep`` with
   the built-in momentum (goal: at least 5x the loop's throughput).
2. ``run_sweep`` on 1 and on 2 threads (goal: at least 1.7x).
3. A Dask ``LocalCluster`` of 1 and of 2 worker processes, one thread each (goal: at
   least 1.6x); Dask's overhead per task against one backtest's time (goal: at most
   10 %); the bytes sent to a worker per task (goal: at most 64 KB); the memory of
   the store's pages in the workers (PSS: shared pages are counted once per machine).

4. The 1,000-combination momentum grid (lookback 5 x share 2 x rebalance 4 = 40
   weight matrices, x rolling_window 5 x fee 5) on 2 threads, in batches: backtests a
   second, the bandwidth floor of one backtest at a time reading the market once, the
   ratio against one backtest at a time (each combination its own pipeline call, as
   the sweep ran before paths and batches; goal: at least 6x), the share of the
   thread time in each part (strategy weights, smoothing, daily returns, statistics,
   other), and the peak resident memory of the sweep in a process of its own (goal:
   at most the market plus 2 GiB). Then 100 combinations on one thread: 100
   ``run_strategy_backtest_core`` calls on precomputed weights against the sweep's
   shared paths on the same weights (goal: at least 4x). ``--part 1000`` runs only
   these; ``--memory-limit`` sets the sweep's memory_limit= for them (2 GiB unless
   told; the peak is also shown under the sweep's default, a quarter of the RAM).

    python bench/bench_sweep.py [--dates 2465] [--stocks 5000] [--repeat 1] [--skip-loop] [--keep DIR]
                                [--part all|24|1000]
                                [--memory-limit BYTES]

A quick run on a small shape: ``--dates 500 --stocks 800 --part 1000``.

Every result is checked against the threads' table to the bit. The machine may be
shared: the figures are wall times of one run (best of --repeat) and are noisy.
"""

from __future__ import annotations

import os

# One thread per backtest: an idle BLAS pool would spin on the other core.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import dataclasses
import pickle
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

GRID = {"lookback": [20, 60, 120], "share": [0.05, 0.1], "rolling_window": [0, 5], "fee": [1e-4, 3e-4]}
GRID_1000 = {"lookback": [10, 20, 40, 60, 120], "share": [0.05, 0.1], "rebalance": [1, 5, 10, 20],
             "rolling_window": [0, 2, 5, 10, 20], "fee": [0.0, 5e-5, 1e-4, 2e-4, 3e-4]}


# --- the store ---------------------------------------------------------------------


def write_random_store(path: Path, n_dates: int, n_stocks: int, seed: int = 0) -> None:
    from tessary.backtest._prepare import PREPARED_DATA_VERSION, BinaryPreparedDataStore

    rng = np.random.default_rng(seed)
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2014-01-02", periods=n_dates)]
    codes = [f"{i:06d}" for i in range(1, n_stocks + 1)]
    log_ret = rng.normal(0.0002, 0.02, size=(n_dates, n_stocks))
    close = 10.0 * np.exp(np.cumsum(log_ret, axis=0))
    del log_ret
    prev = np.vstack([close[:1], close[:-1]])
    close[rng.random(close.shape) < 0.02] = np.nan

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes, copy=False)

    data = {
        "close_price": frame(close),
        "prev_close": frame(prev),
        "buy_price": frame(close * (1 + rng.normal(0, 0.002, close.shape))),
        "sell_price": frame(close * (1 + rng.normal(0, 0.002, close.shape))),
        "rq_get_split": frame(np.where(rng.random(close.shape) < 0.0005, 1.3, np.nan)),
        "rq_get_dividend": frame(np.where(rng.random(close.shape) < 0.001, 0.1, np.nan)),
        "can_buy_stock": frame(rng.random(close.shape) > 0.03),
        "cant_sell_stock": frame(rng.random(close.shape) < 0.02),
        "benchmark_dict": {name: pd.Series(rng.normal(0.0002, 0.012, n_dates), index=dates, name="index_daily_return")
                           for name in ("000852", "000300", "000905")},
    }
    BinaryPreparedDataStore(path).write_payload({"version": PREPARED_DATA_VERSION, "meta": {}, "data": data})


# --- the researcher's loop ------------------------------------------------------------


def pandas_momentum(market, lookback, share, rebalance=5, min_holdings=5):
    """The momentum as written in plain pandas (the demo's formula, parametrised)."""
    close = market["close_price"]
    with np.errstate(divide="ignore", invalid="ignore"):
        daily = (close * market["rq_get_split"].fillna(1.0) + market["rq_get_dividend"].fillna(0.0)) / market["prev_close"] - 1.0
    daily = daily.where(np.isfinite(daily))
    score = daily.rolling(lookback, min_periods=(2 * lookback) // 3).sum()
    score = score.where(market["can_buy_stock"].fillna(False).astype(bool) & close.notna()).to_numpy()
    weights = np.full(score.shape, np.nan)
    for i in range(0, len(close), rebalance):
        row = score[i]
        candidates = np.flatnonzero(np.isfinite(row))
        if len(candidates) < min_holdings:
            continue
        count = max(min_holdings, int(len(candidates) * share))
        weights[i] = 0.0
        weights[i, candidates[np.argsort(-row[candidates], kind="stable")[:count]]] = 1.0 / count
    return pd.DataFrame(weights, index=close.index, columns=close.columns).ffill().fillna(0.0)


def researcher_loop(store_dir: Path) -> pd.DataFrame:
    from tessary.backtest._pnl_engine import run_strategy_backtest_core
    from tessary.backtest._prepare import BinaryPreparedDataStore
    from tessary.sweep import STAT_KEYS

    store = BinaryPreparedDataStore(store_dir)
    data = store.load(mmap=True)["data"]
    benchmarks = store.load_benchmark_dict()
    market = {"can_buy_stock": data["can_buy_stock"], "cant_sell_stock": data["cant_sell_stock"],
              "split_factor": data["rq_get_split"], "dividend_factor": data["rq_get_dividend"],
              "close_price": data["close_price"], "prev_close": data["prev_close"],
              "buy_price": data["buy_price"], "sell_price": data["sell_price"]}
    rows = []
    for lookback in GRID["lookback"]:
        for share in GRID["share"]:
            for rolling_window in GRID["rolling_window"]:
                for fee in GRID["fee"]:
                    weights = pandas_momentum(data, lookback, share)
                    result = run_strategy_backtest_core(weights, **market, benchmark_dict=benchmarks,
                                                        rolling_window=rolling_window, fee=fee, plot_image_kind=None)
                    rows.append({k: result.stats[k] for k in STAT_KEYS})
    return pd.DataFrame(rows)


# --- measurements ---------------------------------------------------------------------


#: CPU seconds of this process in the best run of the last best_of (threads only).
_last_cpu = [0.0]


def best_of(repeat: int, run):
    best, value = float("inf"), None
    for _ in range(repeat):
        started, cpu = time.perf_counter(), time.process_time()
        value = run()
        seconds = time.perf_counter() - started
        if seconds < best:
            best, _last_cpu[0] = seconds, time.process_time() - cpu
    return best, value


def store_mappings() -> dict:
    """This process's memory of the store's memory-mapped files, from /proc (KiB)."""
    totals = {"rss": 0, "pss": 0}
    current = None
    with open("/proc/self/smaps") as fh:
        for line in fh:
            head = line.split()
            if not head:
                continue
            if "-" in head[0] and len(head) >= 5 and not head[0].endswith(":"):
                current = head[5] if len(head) >= 6 else ""
                continue
            if current and current.endswith((".npy", ".log")) and "/data/" in current:
                if head[0] == "Rss:":
                    totals["rss"] += int(head[1])
                elif head[0] == "Pss:":
                    totals["pss"] += int(head[1])
    totals["pid"] = os.getpid()
    return totals


def gil_waits(work, seconds: float = 3.0) -> str:
    """How long this thread waits for the GIL while another thread runs ``work`` in a
    loop: it sleeps 1 ms at a time and measures the delay beyond that. Long delays
    mean the other thread held the GIL; an idle run shows the operating system's own
    delays (a busy machine adds some)."""
    import threading

    stop = threading.Event()

    def loop():
        while not stop.is_set():
            work()

    other = threading.Thread(target=loop)
    other.start()
    waits, end = [], time.perf_counter() + seconds
    while time.perf_counter() < end:
        started = time.perf_counter()
        time.sleep(0.001)
        waits.append(time.perf_counter() - started - 0.001)
    stop.set()
    other.join()
    waits_ms = np.array(waits) * 1000
    blocked = waits_ms[waits_ms > 10].sum() / 1000 / seconds * 100
    return f"median {np.median(waits_ms):.2f} ms, p99 {np.percentile(waits_ms, 99):.1f} ms, time in waits > 10 ms {blocked:.0f} %"


def cached_backtest(spec, strategy_params: dict, number: int, pipeline: dict):
    """One backtest as a task, of weights computed once per process and kept (in a
    dict of the sweep's task module, so that this function carries no data when it is
    shipped): (row, start, end, processor time of the task's thread)."""
    from tessary.sweep import _tasks

    cache = vars(_tasks).setdefault("_bench_weights", {})
    key = tuple(sorted(strategy_params.items()))
    if key not in cache:
        cache[key] = _tasks.compute_weights(spec, strategy_params)
    started, cpu = time.perf_counter(), time.thread_time()
    result = _tasks.backtest(spec, cache[key], number, pipeline)
    return result, started, time.perf_counter(), time.thread_time() - cpu


def task_overhead(client, spec, backtest_seconds: float, n: int = 40, rounds: int = 3) -> None:
    """Dask's overhead per task on a warm one-worker cluster, with the tasks queued as
    a sweep queues them: ``n`` one-backtest tasks through Dask against the same ``n``
    backtests run one after another in this process, best of ``rounds`` alternating
    runs. Also the processor time Dask's own processes spend per task, and the round
    trip of one empty task at a time (latency, which a sweep hides by queueing)."""
    from distributed import as_completed

    from tessary.sweep import _cluster, _path, _tasks

    shipped = dataclasses.replace(spec, strategy=_cluster.ShippedFunction(spec.strategy))
    params, pipeline = {"lookback": 60, "share": 0.1}, {"fee": 1e-4}
    client.submit(cached_backtest, shipped, params, 0, pipeline, pure=False).result()
    cached_backtest(spec, params, 0, pipeline)
    local, remote, gaps, cpu_here, cpu_worker = [], [], [], [], []
    for _ in range(rounds):
        started = time.perf_counter()
        for i in range(n):
            cached_backtest(spec, params, i, pipeline)
        local.append((time.perf_counter() - started) / n)

        before, cpu = client.run(time.process_time), time.process_time()
        started = time.perf_counter()
        futures = client.map(cached_backtest, [shipped] * n, [params] * n, range(n), [pipeline] * n, pure=False)
        done = [future.result() for future in as_completed(futures)]
        seconds = time.perf_counter() - started
        after = client.run(time.process_time)
        in_tasks = sum(end - start for _, start, end, _ in done)
        remote.append(seconds / n)
        gaps.append((seconds - in_tasks) / n)
        cpu_here.append((time.process_time() - cpu) / n)
        cpu_worker.append((sum(after[w] - before[w] for w in after) - sum(c for *_, c in done)) / n)
        del futures, done
    overhead = min(remote) - min(local)
    print(f"  Dask overhead per task ({n} one-backtest tasks queued as in a sweep, 1 worker, best of {rounds}): "
          f"{min(remote) * 1e3:.1f} ms a task against {min(local) * 1e3:.1f} ms in this process: "
          f"{overhead * 1e3:.1f} ms = {overhead / backtest_seconds * 100:.1f} % of one backtest (goal <= 10 %)")
    print(f"    wall time outside the tasks: {min(gaps) * 1e3:.1f} ms a task (submitting, scheduling, the worker "
          f"waiting between tasks, fetching rows) = {min(gaps) / backtest_seconds * 100:.1f} %")
    print(f"    processor time of Dask's own work a task: this process (client and scheduler) "
          f"{min(cpu_here) * 1e3:.1f} ms, the worker outside its tasks {min(cpu_worker) * 1e3:.1f} ms "
          f"(= {(min(cpu_here) + min(cpu_worker)) / backtest_seconds * 100:.0f} % of one backtest, mostly on the other core)")
    started = time.perf_counter()
    for _ in range(20):
        client.submit(_tasks.process_id, pure=False).result()
    empty = (time.perf_counter() - started) / 20
    print(f"    one empty task at a time, submitted and awaited: {empty * 1000:.1f} ms round trip "
          "(latency; hidden when tasks are queued)")


def read_bandwidth(threads: int = 2, mib: int = 512) -> float:
    """Bytes a second that ``threads`` threads read from memory, summing their parts
    of one large array (numpy's reductions run without the GIL); best of 3."""
    from concurrent.futures import ThreadPoolExecutor

    data = np.ones(mib * 2**20 // 8)
    parts = np.array_split(data, threads)
    best = float("inf")
    with ThreadPoolExecutor(threads) as pool:
        for _ in range(3):
            started = time.perf_counter()
            list(pool.map(np.sum, parts))
            best = min(best, time.perf_counter() - started)
    return data.nbytes / best


def parts_of_sweep(store_dir: Path, memory_limit: int | None) -> tuple[float, dict]:
    """The 1,000-combination sweep on 2 threads with its parts timed in thread seconds:
    the strategy's weights, the weight smoothing, the daily returns (the batches'
    shared calls and the variants' own engine calls), the rows' statistics and
    excess figures, and the rest (process CPU seconds less those parts). Wall seconds
    and the parts."""
    import threading

    from tessary.backtest import _pnl_engine, _records
    from tessary.strategies import momentum
    from tessary.sweep import _batch_returns, _path, _tasks, run_sweep

    parts = {"strategy weights": 0.0, "smoothing": 0.0, "daily returns": 0.0, "statistics": 0.0}
    lock = threading.Lock()
    patched = [(_tasks, "compute_weights", "strategy weights"), (_records, "smooth_weights", "smoothing"),
               (_batch_returns, "batch_returns", "daily returns"),
               (_pnl_engine, "calc_strategy_vwap_daily_return", "daily returns"),
               (_path.Shared, "figures", "statistics")]
    originals = [(owner, name, getattr(owner, name)) for owner, name, _ in patched]

    def timed(function, part):
        def run(*args, **kwargs):
            started = time.thread_time()
            try:
                return function(*args, **kwargs)
            finally:
                with lock:
                    parts[part] += time.thread_time() - started
        return run

    for (owner, name, part), (_, _, function) in zip(patched, originals):
        setattr(owner, name, timed(function, part))
    try:
        started, cpu = time.perf_counter(), time.process_time()
        run_sweep(store_dir, momentum, GRID_1000, workers=2, progress=False, keep_returns=False,
                  memory_limit=memory_limit)
        wall, cpu = time.perf_counter() - started, time.process_time() - cpu
    finally:
        for owner, name, function in originals:
            setattr(owner, name, function)
    parts["other"] = max(cpu - sum(parts.values()), 0.0)
    return wall, parts


PEAK_CHILD = """
import os, sys, time
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, sys.argv[1])
from bench_sweep import GRID_1000
from tessary.strategies import momentum
from tessary.sweep import run_sweep
limit = None if sys.argv[3] == "default" else int(sys.argv[3])
def high_water():  # this process's own resident peak (VmHWM starts afresh at exec)
    with open("/proc/self/status") as fh:
        return next(int(line.split()[1]) * 1024 for line in fh if line.startswith("VmHWM:"))
base = high_water()
started = time.perf_counter()
run_sweep(sys.argv[2], momentum, GRID_1000, workers=2, progress=False, keep_returns=True, memory_limit=limit)
print(time.perf_counter() - started, base, high_water())
"""


def peak_memory(store_dir: Path, limit: str) -> tuple[float, int, int]:
    """Wall seconds, the resident peak before and after the 1,000-combination sweep
    (returns kept) in a process of its own, with ``limit`` bytes (or "default")."""
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(Path(__file__).parent), str(store_dir), limit],
                          capture_output=True, text=True, check=True)
    seconds, before, after = done.stdout.split()
    return float(seconds), int(before), int(after)


def one_at_a_time(store_dir: Path, variants: list[dict]) -> tuple[float, float]:
    """The 1,000-combination grid as the sweep ran it before paths were shared: each
    set's weights computed once, then one ``_tasks.backtest`` (one pipeline call) per
    combination, on 2 threads. Wall and CPU seconds."""
    from concurrent.futures import ThreadPoolExecutor
    from itertools import product

    from tessary.strategies import momentum
    from tessary.sweep import _tasks

    spec = _tasks.Spec(str(store_dir), None, None, "000852", momentum, False)

    def one_set(params: dict) -> None:
        weights = _tasks.compute_weights(spec, params)
        for pipeline in variants:
            _tasks.backtest(spec, weights, 0, pipeline)

    sets = [dict(lookback=lb, share=sh, rebalance=rb)
            for lb, sh, rb in product(GRID_1000["lookback"], GRID_1000["share"], GRID_1000["rebalance"])]
    started, cpu = time.perf_counter(), time.process_time()
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(one_set, sets))
    return time.perf_counter() - started, time.process_time() - cpu


def grid_1000(store_dir: Path, n_dates: int, n_stocks: int, repeat: int, memory_limit: int | None) -> None:
    """The 1,000-combination grid on 2 threads: throughput, the floor of one backtest
    at a time, and where the time goes."""
    from itertools import product

    from tessary.strategies import momentum
    from tessary.sweep import run_sweep

    count = int(np.prod([len(v) for v in GRID_1000.values()]))
    sets = len(GRID_1000["lookback"]) * len(GRID_1000["share"]) * len(GRID_1000["rebalance"])
    print(f"{count} combinations ({sets} weight matrices x rolling_window x fee): {GRID_1000}; "
          f"memory_limit={memory_limit if memory_limit else 'default'}")
    seconds, result = best_of(repeat, lambda: run_sweep(store_dir, momentum, GRID_1000, workers=2, progress=False,
                                                        keep_returns=False, memory_limit=memory_limit))
    failed = int(result.table["error"].notna().sum())
    rate = count / seconds
    print(f"  run_sweep, 2 threads: {seconds:.1f} s, {rate:.1f} backtests a second, CPU {_last_cpu[0]:.1f} s"
          f"{f', {failed} failed rows' if failed else ''}")

    # One backtest at a time reads every market matrix and the weights once, and the
    # smoothing writes and reads a weight matrix again.
    cells = n_dates * n_stocks
    read_bytes = cells * (6 * 8 + 2 * 1 + 8 + 2 * 8)
    bandwidth = read_bandwidth()
    floor = bandwidth / read_bytes
    print(f"  one backtest at a time reads {read_bytes / 1e6:.0f} MB; memory reads {bandwidth / 1e9:.1f} GB/s on 2 "
          f"threads: floor {read_bytes / bandwidth * 1e3:.1f} ms a backtest = {floor:.1f} backtests a second")
    print(f"  against the goals: {rate / 100:.2f}x of 100 backtests a second; {rate / floor:.2f}x the floor "
          f"(goal >= 3x); 1,000 combinations in {seconds:.1f} s (goal <= 10 s at 2465 x 5000)")

    variants = [{"rolling_window": w, "fee": f} for w, f in product(GRID_1000["rolling_window"], GRID_1000["fee"])]
    one_seconds, one_cpu = one_at_a_time(store_dir, variants)
    print(f"  one backtest at a time (each set's weights once, every combination its own pipeline call, 2 threads): "
          f"{one_seconds:.1f} s, {count / one_seconds:.1f} backtests a second, CPU {one_cpu:.1f} s; run_sweep "
          f"{verdict(one_seconds / seconds, 6)} its wall time, {one_cpu / _last_cpu[0]:.2f}x in CPU seconds")

    wall, parts = parts_of_sweep(store_dir, memory_limit)
    total = sum(parts.values())
    print(f"  thread time by part (the sweep again, parts timed, {wall:.1f} s wall): {total:.1f} s in all")
    for name, value in parts.items():
        print(f"    {name:<20} {value / total * 100:5.1f} %  {value / count * 1e3:6.1f} ms a backtest")

    market = cells * (6 * 8 + 2 * 1)
    for limit in ("default", str(memory_limit)) if memory_limit else ("default",):
        peak_seconds, before, after = peak_memory(store_dir, limit)
        print(f"  peak resident memory, returns kept, memory_limit={limit} (a process of its own, {peak_seconds:.1f} s): "
              f"{after / 2**30:.2f} GiB ({before / 2**30:.2f} GiB before the sweep); the market "
              f"{market / 2**30:.2f} GiB: {'within' if after <= market + 2 * 2**30 else 'ABOVE'} the market + 2 GiB")


def hundred_on_one_thread(store_dir: Path) -> None:
    """100 combinations (4 weight matrices x rolling_window 5 x fee 5) on one thread:
    100 ``run_strategy_backtest_core`` calls on precomputed weights against the
    sweep's shared paths on the same weights, and against the whole sweep (its
    weights included)."""
    from itertools import product

    from tessary.backtest._pnl_engine import run_strategy_backtest_core
    from tessary.strategies import momentum
    from tessary.sweep import _market, _path, _tasks, run_sweep

    grid = {"lookback": [20, 60], "share": [0.1], "rebalance": [1, 5], "rolling_window": GRID_1000["rolling_window"],
            "fee": GRID_1000["fee"]}
    spec = _tasks.Spec(str(store_dir), None, None, "000852", momentum, False)
    sets = [dict(lookback=lb, share=0.1, rebalance=rb) for lb, rb in product(grid["lookback"], grid["rebalance"])]
    weights = [_tasks.compute_weights(spec, params) for params in sets]
    market = _market.open_market(spec.store_dir, None, None)
    variants = [(i, {"rolling_window": w, "fee": f}) for i, (w, f) in
                enumerate(product(grid["rolling_window"], grid["fee"]))]
    started = time.perf_counter()
    for frame in weights:
        aligned = market.aligned(frame.index, frame.columns)
        for _, pipeline in variants:
            run_strategy_backtest_core(frame, **aligned, benchmark_dict=dict(market.benchmarks),
                                       plot_image_kind=None, **pipeline)
    calls = time.perf_counter() - started
    started = time.perf_counter()
    for frame in weights:
        for path in _path.shared_paths(variants, len(frame.index)):
            _path.backtest_path(spec, frame, path)
    shared = time.perf_counter() - started
    # One batch of the 4 matrices' 20 paths: one shared pricing call, as run_batch
    # makes it, on the same precomputed weights.
    started = time.perf_counter()
    paths = []
    for number, frame in enumerate(weights):
        own = [(number * 25 + i, pipeline) for i, pipeline in variants]
        aligned = _path.checked_market(spec, frame)
        paths += [(_path.Shared(spec, frame, _path._window(path[0][1], len(frame.index)), aligned), frame, path)
                  for path in _path.shared_paths(own, len(frame.index))]
    priced, seconds = _path.price(spec, [(item, item.pricing(spec, path)) for item, _, path in paths])
    for item, frame, path in paths:
        item.rows(spec, frame, path, priced, seconds)
    batched = time.perf_counter() - started
    del paths, priced
    started = time.perf_counter()
    run_sweep(store_dir, momentum, grid, workers=1, progress=False, keep_returns=False)
    whole = time.perf_counter() - started
    print(f"  100 combinations on one thread: 100 run_strategy_backtest_core calls {calls:.1f} s "
          f"({100 / calls:.1f} a second); shared paths on the same weights {shared:.1f} s: {calls / shared:.2f}x; "
          f"one batch of their 20 paths {batched:.1f} s: {verdict(calls / batched, 4)}; "
          f"the whole sweep (its 4 weight matrices included) {whole:.1f} s: {calls / whole:.2f}x")


def row(label: str, seconds: float, extra: str = "") -> None:
    print(f"  {label:<46} {seconds:8.2f} s  {24 / seconds:6.2f} runs/s  {extra}", flush=True)


def verdict(ratio: float, goal: float) -> str:
    return f"{ratio:.2f}x (goal >= {goal}x: {'met' if ratio >= goal else 'NOT met'})"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dates", type=int, default=2465)
    ap.add_argument("--stocks", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=1, help="runs of each sweep; the best is kept")
    ap.add_argument("--skip-loop", action="store_true", help="leave out the (slow) plain pandas loop")
    ap.add_argument("--keep", help="keep the store in this directory (reused when it exists)")
    ap.add_argument("--memory-limit", type=int, default=2 * 2**30,
                    help="memory_limit= of the 1,000-combination sweeps in bytes (default 2 GiB, the memory goal; "
                         "0: the sweep's own default, a quarter of the machine's memory)")
    ap.add_argument("--part", choices=("all", "24", "1000"), default="all",
                    help="the 24-combination figures, the 1,000-combination grid, or both")
    args = ap.parse_args()

    from tessary.strategies import momentum
    from tessary.sweep import STAT_KEYS, run_sweep
    from tessary.sweep import _batch, _cluster, _tasks

    with tempfile.TemporaryDirectory(prefix="tessary-bench-sweep-") as tmp:
        store_dir = Path(args.keep).expanduser() if args.keep else Path(tmp) / "store"
        if not (store_dir / "metadata.pkl").exists():
            started = time.perf_counter()
            write_random_store(store_dir, args.dates, args.stocks)
            print(f"random store {args.dates} dates x {args.stocks} stocks written in {time.perf_counter() - started:.1f} s")
        size = sum(p.stat().st_size for p in (store_dir / "data").iterdir()) / 2**20
        print(f"store {store_dir}: {size:.0f} MiB; {os.cpu_count()} cores (shared machine: wall times are noisy)")
        if args.part in ("all", "1000"):
            run_sweep(store_dir, momentum, {"lookback": [20]}, workers=1, progress=False)  # page cache warm
            grid_1000(store_dir, args.dates, args.stocks, args.repeat, args.memory_limit or None)
            hundred_on_one_thread(store_dir)
            print()
            if args.part == "1000":
                return
        print(f"24 combinations: {GRID}")
        try:
            autogroup = Path("/proc/sys/kernel/sched_autogroup_enabled").read_text().strip() == "1"
        except OSError:
            autogroup = False
        if autogroup:
            print("the kernel shares CPU time per session (autogroup): with other busy sessions on the machine, all\n"
                  "threads and worker processes of this run share one session's part, and scaling cannot show")
        print()

        def sweep(**kw):
            return run_sweep(store_dir, momentum, GRID, progress=False, **kw)

        run_sweep(store_dir, momentum, {"lookback": [20]}, workers=1, progress=False)  # page cache warm
        t1, one = best_of(args.repeat, lambda: sweep(workers=1))
        cpu1 = _last_cpu[0]
        row("run_sweep, 1 thread", t1, f"CPU {cpu1:.1f} s")
        t2, two = best_of(args.repeat, lambda: sweep(workers=2))
        row("run_sweep, 2 threads", t2, f"CPU {_last_cpu[0]:.1f} s (CPU / wall {_last_cpu[0] / t2:.2f})")
        pd.testing.assert_frame_equal(one.table, two.table, check_exact=True)
        print(f"  2 threads vs 1 thread: {verdict(t1 / t2, 1.7)}; load average {os.getloadavg()[0]:.1f} on "
              f"{os.cpu_count()} cores")

        if not args.skip_loop:
            tl, loop_stats = best_of(1, lambda: researcher_loop(store_dir))
            loop_cpu = _last_cpu[0]
            row("plain pandas momentum + backtest, loop", tl, f"CPU {loop_cpu:.1f} s")
            np.testing.assert_array_equal(loop_stats[list(STAT_KEYS)].to_numpy(), one.table[list(STAT_KEYS)].to_numpy())
            best_sweep = min(t1, t2)
            print(f"  run_sweep ({'2 threads' if t2 <= t1 else '1 thread'}) vs the loop: {verdict(tl / best_sweep, 5)};"
                  f" 1 thread vs the loop: {tl / t1:.2f}x")
            print(f"  in CPU seconds (robust to a busy machine), 1 thread vs the loop: {loop_cpu / cpu1:.2f}x")

        # One backtest's time, measured inside the tasks (median of the 24).
        spec = _tasks.Spec(str(store_dir), None, None, "000852", momentum, True)
        weights = _tasks.compute_weights(spec, {"lookback": 60, "share": 0.1})
        times = [_tasks.backtest(spec, weights, 0, {"fee": 1e-4}).seconds for _ in range(3)]
        backtest_seconds = min(times)
        started = time.perf_counter()
        _tasks.compute_weights(spec, {"lookback": 60, "share": 0.1})
        weight_seconds = time.perf_counter() - started
        print(f"\n  one backtest: {backtest_seconds:.3f} s; one built-in momentum: {weight_seconds:.3f} s")
        print("  GIL: this thread's delay after 1 ms sleeps while another thread works")
        print(f"    idle:                   {gil_waits(lambda: time.sleep(0.01))}")
        print(f"    backtests:              {gil_waits(lambda: _tasks.backtest(spec, weights, 0, {'fee': 1e-4}))}")
        print(f"    built-in momentum:      {gil_waits(lambda: _tasks.compute_weights(spec, {'lookback': 60, 'share': 0.1}))}")
        del weights

        try:
            import dask
            from distributed import Client, LocalCluster

            from tessary.sweep._command import LOCAL_CLUSTER
        except ImportError:
            print("\n(dask.distributed is not installed: pip install 'tessary[dask]' for the cluster figures)")
            return
        print()
        timings = {}
        for n in (1, 2):
            # As the sweep command starts its local clusters: no statistical profiler.
            with dask.config.set({"distributed.worker.profile.enabled": False}), \
                    LocalCluster(n_workers=n, threads_per_worker=1, processes=True, memory_limit=0,
                                 **LOCAL_CLUSTER) as cluster, Client(cluster) as client:
                client.run(lambda: os.environ.update(OPENBLAS_NUM_THREADS="1"))
                run_sweep(store_dir, momentum, {"lookback": [20]}, client=client, progress=False)  # workers open the store
                before = client.run(time.process_time)
                seconds, result = best_of(args.repeat, lambda: sweep(client=client))
                after = client.run(time.process_time)
                worker_cpu = sum(after[w] - before[w] for w in after if w in before) / args.repeat
                timings[n] = seconds
                row(f"Dask LocalCluster, {n} worker process(es)", seconds, f"worker CPU {worker_cpu:.1f} s")
                pd.testing.assert_frame_equal(result.table, one.table, check_exact=True)
                pd.testing.assert_frame_equal(result.daily_returns, one.daily_returns, check_exact=True)
                if n == 1:
                    task_overhead(client, spec, backtest_seconds)
                else:
                    mem = client.run(store_mappings)
                    pss = sum(m["pss"] for m in mem.values()) / 1024
                    rss = [m["rss"] / 1024 for m in mem.values()]
                    print(f"  store pages in the 2 workers: PSS {pss:.0f} MiB in all (RSS {', '.join(f'{r:.0f}' for r in rss)}"
                          f" MiB each; store on disk {size:.0f} MiB, also mapped by this process): held once per machine")
        print(f"  2 workers vs 1 worker: {verdict(timings[1] / timings[2], 1.6)}; load average "
              f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

        # What a task carries: the shipped strategy, the store's path and the parameters.
        shipped = dataclasses.replace(spec, strategy=_cluster.ShippedFunction(momentum))
        variants = [(i, {"rolling_window": 5, "fee": 3e-4}) for i in range(4)]
        import cloudpickle

        pieces = (_batch.Piece({"lookback": 120, "share": 0.05}, tuple(variants)),)
        sent = len(cloudpickle.dumps((_batch.run_batch, shipped, pieces), protocol=pickle.HIGHEST_PROTOCOL))
        print(f"  sent per task: {sent} bytes (goal <= 64 KB)")


if __name__ == "__main__":
    main()
