"""Wall time and peak memory of the demo and of a large build through DuckDB.

    python bench/bench_demo.py [--stocks 2000] [--years 10] [--skip-demo] [--keep DIR]

1. ``tessary-backtest demo`` with the default market (300 stocks, 3 years).
2. A synthetic market of 2000 stocks over 10 years written into a DuckDB file, then
   ``tessary-backtest build`` of that file into a new store (goal: at most 60 s),
   an incremental ``build`` of the same file (nothing new: the store is up to date),
   and a store built up to the end of the last but one year, then brought up to date
   incrementally.

Every step runs in a fresh process, so each peak resident memory is that step's own.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BUILD_GOAL_SECONDS = 60.0

GENERATE = """
import sys
from tessary.synthetic import generate_market
market = generate_market(n_stocks=int(sys.argv[1]), years=float(sys.argv[2]), seed=1)
market.to_duckdb(sys.argv[3], overwrite=True)
print(len(market.dates), "days x", len(market.codes), "stocks")
"""


def measure(label: str, argv: list[str]) -> tuple[float, float, str]:
    """Runs ``argv`` in a child process; returns (seconds, peak MiB of that child, stdout)."""
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        started = time.perf_counter()
        child = subprocess.Popen(argv, stdout=out, stderr=err, text=True)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    if child.returncode != 0:
        sys.exit(f"{label} failed with status {child.returncode}:\n{stderr.strip()[-2000:]}")
    peak = usage.ru_maxrss / 1024  # KiB on Linux
    print(f"{label:<44} {seconds:8.1f} s   peak {peak:8.0f} MiB", flush=True)
    return seconds, peak, stdout


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--stocks", type=int, default=2000)
    ap.add_argument("--years", type=float, default=10)
    ap.add_argument("--skip-demo", action="store_true")
    ap.add_argument("--keep", help="keep the outputs in this directory instead of a temporary one")
    args = ap.parse_args()

    cli = [sys.executable, "-m", "tessary.cli"]
    with tempfile.TemporaryDirectory(prefix="tessary-bench-") as tmp:
        root = Path(args.keep).expanduser() if args.keep else Path(tmp)
        root.mkdir(parents=True, exist_ok=True)
        print(f"outputs in {root}; {os.cpu_count()} cores")
        if not args.skip_demo:
            measure("demo (300 stocks x 3 years)", cli + ["demo", "--out", str(root / "demo")])
        db = root / f"market_{args.stocks}x{args.years:g}y.duckdb"
        _, _, shape = measure(f"generate + write DuckDB ({args.stocks} x {args.years:g}y)",
                              [sys.executable, "-c", GENERATE, str(args.stocks), str(args.years), str(db)])
        print(f"{'':<44} {shape.strip()}, {db.stat().st_size / 2**20:.0f} MiB on disk")
        store = root / "store"
        seconds, _, out = measure("build (full) into a new store", cli + ["build", str(db), str(store), "--full"])
        print(f"{'':<44} {out.strip()}")
        verdict = "within" if seconds <= BUILD_GOAL_SECONDS else "OVER"
        print(f"{'':<44} {verdict} the goal of {BUILD_GOAL_SECONDS:.0f} s")
        measure("build (incremental, up to date)", cli + ["build", str(db), str(store)])
        grown = root / "store_grown"
        cut = f"{int(args.years) + 2020 - 1}1231" if args.years >= 2 else None
        if cut:
            measure(f"build (full) up to {cut}", cli + ["build", str(db), str(grown), "--end", cut])
            seconds, _, out = measure("build (incremental) of the last year", cli + ["build", str(db), str(grown)])
            print(f"{'':<44} {out.strip()}")


if __name__ == "__main__":
    main()
