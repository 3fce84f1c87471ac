"""``tessary-backtest build`` and ``verify``: a store built or brought up to date from a
DuckDB file, and a store read back whole against its checksums."""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Any

from tessary.cli._common import PROG, UserError, date_arg, output_dir
from tessary.progress import step


def cmd_build(args: argparse.Namespace) -> int:
    from tessary.build import BuildError, build_store
    from tessary.report import builder_error_hint, store_report

    output_dir(args.store, "the store")  # writable, before the build's work
    started = time.perf_counter()
    try:
        summary = build_store(
            args.database,
            args.store,
            date_arg(args.start, "--start"),
            date_arg(args.end, "--end"),
            full=args.full,
            since=date_arg(args.since, "--since"),
            component_names=args.component or None,
        )
    except BuildError as exc:  # the builder's message as it is, and what to do in English
        hint = builder_error_hint(str(exc))
        raise UserError(f"{exc} -- {hint}" if hint else str(exc)) from None
    elapsed = time.perf_counter() - started
    extra = f"; supplemented {', '.join(summary['supplemented'])}" if summary["supplemented"] else ""
    print(
        f"{summary['store']}: {summary['mode']}; {summary['dates']} dates {summary['first_date']}..{summary['last_date']} "
        f"x {summary['stocks']} stocks, {summary['datasets']} datasets{extra} ({elapsed:.1f} s)"
    )
    for note in summary.get("notes", []):
        print(note)
    with step("checking the stored data"):
        lines, problems = store_report(Path(args.store).expanduser(), summary.get("first_written"))
    print("\n".join(lines))
    for problem in summary.get("problems", []) + problems:
        print(f"{PROG}: warning: {problem}", file=sys.stderr)
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    """Reads the whole store back and checks every checksum; exit status 1 when damaged."""
    from tessary.store import open_store

    store_dir = Path(args.store).expanduser()
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    try:  # a directory this process may not list: the user's mistake, not damage
        os.listdir(store_dir)
    except OSError as exc:
        raise UserError(f"cannot read the store {store_dir}: {exc.strerror or exc}") from None
    store = open_store(store_dir)
    with step(f"verifying {store_dir}"):
        problems = store.verify()
    if problems:
        for line in problems:
            print(f"DAMAGED {line}")
        print(f"{store_dir}: {len(problems)} damaged part(s)")
        return 1
    print(f"{store_dir}: whole (every checksum matches)")
    return 0


def add_parser(commands: Any) -> None:
    build = commands.add_parser("build", help="build or update a store from a DuckDB file")
    build.add_argument("database", help="DuckDB file of the local data service")
    build.add_argument("store", help="store directory (created when missing)")
    build.add_argument("--start", help="first date of a new store or a --full build (default: the database's first)")
    build.add_argument("--end", help="last date (default: the database's last date)")
    build.add_argument("--full", action="store_true", help="rebuild everything instead of adding the new days")
    build.add_argument(
        "--since", metavar="DATE",
        help="rebuild the stored days from DATE on as well (past dates whose source rows changed are found "
        "and rebuilt without it)",
    )
    build.add_argument(
        "--component", action="append", metavar="NAME",
        help="a further constituent factor whose mask the store should hold (repeatable)",
    )
    build.set_defaults(handler=cmd_build)

    verify = commands.add_parser("verify", help="check every file and checksum of a store")
    verify.add_argument("store", help="store directory")
    verify.set_defaults(handler=cmd_verify)
