"""``tessary-backtest sweep``: a strategy backtested for every combination of a grid,
on threads or a Dask cluster; the table, a heatmap and the best rows."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Any

from tessary.cli._common import (PROG, UserError, byte_size, date_arg, output_dir, positive_float, positive_int,
                                 printed_warnings)


def cmd_sweep(args: argparse.Namespace) -> int:
    from tessary.sweep import _command, run_sweep

    started = time.perf_counter()
    store_dir = Path(args.store).expanduser()
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    out = output_dir(args.out, "--out")
    start, end = date_arg(args.start, "--start"), date_arg(args.end, "--end")
    try:
        _command.check_writers()  # before the backtests, not after them
        strategy = _command.load_strategy(args.strategy)
        grid = _command.parse_grid(args.grid)
        with _command.scheduler(args.scheduler, args.local_cluster, strategy) as client, printed_warnings():
            result = run_sweep(store_dir, strategy, grid, start_date=start, end_date=end, benchmark=args.benchmark,
                               client=client, workers=args.threads, timeout=args.timeout,
                               between=args.between, memory_limit=args.memory_limit)
    except (ValueError, TypeError, KeyError, FileNotFoundError) as exc:
        raise UserError(str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)) from None
    failed = int(result.table["error"].notna().sum())
    if failed == len(result.table):  # nothing to show or keep: the errors, and exit 1
        print(f"{PROG}: error: all {failed} combinations failed; nothing was written", file=sys.stderr)
        print(_command.error_summary(result.table["error"]), file=sys.stderr)
        return 1
    # Written only once every combination has run: an interrupted sweep leaves no files.
    paths = _command.write_outputs(result, out)
    where = (f"the scheduler at {args.scheduler}" if args.scheduler else
             f"a local cluster of {args.local_cluster} processes" if args.local_cluster else "threads of this process")
    print(f"{len(result.table)} combinations of {args.strategy} on {where}"
          f"{f', {failed} failed' if failed else ''} ({time.perf_counter() - started:.1f} s)")
    print()
    print(f"best {min(5, len(result.table))} by Sharpe ratio:")
    print(_command.best_rows_text(result, args.benchmark))
    if failed:
        first = result.table.loc[result.table["error"].notna(), "error"].iloc[0]
        print(f"\nfirst error: {first}")
    print()
    for path in paths.values():
        print(path)
    return 0


def add_parser(commands: Any) -> None:
    sweep = commands.add_parser("sweep", help="backtest a strategy over a grid of parameters, on threads or a Dask cluster")
    sweep.add_argument("store", help="store directory (on a cluster: the same path on every machine)")
    sweep.add_argument("--strategy", required=True, metavar="MODULE:FUNCTION",
                       help="strategy(market, **params) -> weights, e.g. tessary.strategies:momentum (or: momentum, reversal)")
    sweep.add_argument("--grid", action="append", metavar="NAME=V1,V2,...",
                       help="values of one parameter (repeatable); rolling_window, total_money, fee, rule_fee "
                            "and between go to the backtest, other names to the strategy")
    sweep.add_argument("--start", help="first date of the backtests")
    sweep.add_argument("--end", help="last date of the backtests")
    sweep.add_argument("--benchmark", default="000852", help="primary benchmark (default: 000852)")
    sweep.add_argument("--between", choices=("resize", "hold"), default="resize",
                       help="between the strategy's dates: resize positions daily (default) or hold the share "
                            "counts set on each given date (a grid value of between overrides it)")
    where = sweep.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler (tcp://host:8786)")
    where.add_argument("--local-cluster", type=positive_int, metavar="N", help="run on a new local Dask cluster of N processes")
    where.add_argument("--threads", type=positive_int, metavar="N", help="run on N threads of this process (default: the cores)")
    sweep.add_argument("--timeout", type=positive_float, metavar="SECONDS",
                       help="fail a combination whose strategy or backtest runs longer than this")
    sweep.add_argument("--memory-limit", type=byte_size, metavar="SIZE",
                       help="memory the batches of weight matrices may take, e.g. 2G (default: a quarter of RAM)")
    sweep.add_argument("--out", default="tessary-sweep", help="output directory (default: ./tessary-sweep)")
    sweep.set_defaults(handler=cmd_sweep)
