"""``tessary-backtest factor FACTOR_FILE STORE``: evaluate a factor file against a store
(or screen several with ``--compare``); the summary as JSON on stdout, the chart and
the tables as files in ``--out``, progress on stderr."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

import pandas as pd

def _user_error(text: str) -> Exception:
    from tessary.cli._common import UserError

    return UserError(text)


def read_factor(path: str | Path) -> pd.DataFrame:
    """A factor from parquet or CSV: wide (a date column or the first column, then one
    column per stock) or long (columns date, code, value)."""
    from tessary.cli import _common

    path, frame = _common.read_table(path, "factor")
    lowered = {str(c).strip().lower(): c for c in frame.columns}
    if set(lowered) == {"date", "code", "value"}:
        frame = frame.rename(columns={v: k for k, v in lowered.items()})[["date", "code", "value"]]
        frame["value"] = pd.to_numeric(frame["value"], errors="coerce") if frame["value"].dtype == object \
            else frame["value"]
        return frame
    frame = _common.dated_rows(frame, path, "factor")
    if frame.dtypes.eq(object).any():
        frame = frame.apply(pd.to_numeric, errors="coerce")
    return frame


def _factor_files(items: list[str]) -> list[Path]:
    from tessary.cli import _common

    files: list[Path] = []
    for item in items:
        path = Path(item).expanduser()
        if path.is_dir():
            found = sorted(p for p in path.iterdir() if p.is_file() and p.name.lower().endswith(_common.TABLE_SUFFIXES))
            if not found:
                raise _user_error(f"--compare: no .parquet or .csv file in {path}")
            files += found
        else:
            files.append(path)
    return files


def _periods(text: str) -> tuple[int, ...]:
    try:
        values = tuple(int(p) for p in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"periods are positive integers separated by commas, not {text!r}") from None
    if not values or any(p < 1 for p in values):
        raise argparse.ArgumentTypeError(f"periods are positive integers separated by commas, not {text!r}")
    return values


def add_parser(commands: Any) -> None:
    """Adds the ``factor`` subcommand to the CLI's subparsers."""
    from tessary.cli._common import positive_int as _positive_int

    p = commands.add_parser("factor", help="is this factor any good? rank ICs, groups and group backtests")
    p.add_argument("factor_file", help="factor: wide (dates down, stock codes across) or long (date,code,value), "
                   "parquet or CSV")
    p.add_argument("store", help="store directory")
    p.add_argument("--universe", help="only members of this index (e.g. 000300) whose mask the store holds")
    p.add_argument("--groups", type=_positive_int, default=5, help="number of groups (default: 5)")
    p.add_argument("--periods", type=_periods, default=(1, 5, 10), help="forward periods in days (default: 1,5,10)")
    p.add_argument("--neutralize", choices=("industry",), help="subtract the industry mean on every date")
    p.add_argument("--rebalance", type=_positive_int, default=1, help="set the group weights every N dates")
    p.add_argument("--benchmark", default="000852", help="benchmark of the group statistics (default: 000852)")
    p.add_argument("--start", help="first date")
    p.add_argument("--end", help="last date")
    p.add_argument("--out", default="tessary-factor", help="output directory (default: ./tessary-factor)")
    p.add_argument("--compare", nargs="+", metavar="DIR_OR_FILE",
                   help="screen these factor files (or every file of a directory) beside FACTOR_FILE")
    p.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    from tessary.cli._common import date_arg as _date_arg
    from tessary.factor import compare, evaluate

    store = Path(args.store).expanduser()
    if not store.is_dir():
        raise _user_error(f"store not found: {store}")
    out = Path(args.out).expanduser().resolve()
    if out.exists() and not out.is_dir():
        raise _user_error(f"--out must be a directory: {out}")
    keywords = dict(start_date=_date_arg(args.start, "--start"), end_date=_date_arg(args.end, "--end"),
                    periods=args.periods, groups=args.groups, universe=args.universe, neutralize=args.neutralize,
                    rebalance=args.rebalance, benchmark=args.benchmark)
    if args.compare:
        files = [Path(args.factor_file).expanduser()] + _factor_files(args.compare)
        factors = {}
        for path in files:
            name = path.name.split(".")[0]
            if name in factors:
                raise _user_error(f"--compare: two factor files are named {name!r}")
            factors[name] = read_factor(path)
        print(f"screening {len(factors)} factors", file=sys.stderr)
        try:
            table = compare(factors, store, **keywords)
        except (ValueError, TypeError) as exc:
            raise _user_error(str(exc)) from None
        out.mkdir(parents=True, exist_ok=True)
        table.to_csv(out / "compare.csv")
        print(table.reset_index().to_json(orient="records", indent=2, double_precision=10))
        print(out / "compare.csv", file=sys.stderr)
        return 0
    factor = read_factor(args.factor_file)
    try:
        report = evaluate(factor, store, progress=True, **keywords)
    except (ValueError, TypeError) as exc:
        raise _user_error(str(exc)) from None
    # Written only once everything is computed: bad input leaves nothing behind.
    out.mkdir(parents=True, exist_ok=True)
    report.plot(out / "factor_report.png")
    ic = report.ic.copy()
    ic.columns = [str(c) for c in ic.columns]
    ic.to_parquet(out / "ic.parquet")
    returns = report.group_returns.copy()
    returns.columns = [str(c) for c in returns.columns]
    returns["long_short"] = report.long_short
    returns.to_parquet(out / "group_returns.parquet")
    summary = report.to_dict()
    summary["factor"] = str(Path(args.factor_file).expanduser())
    summary["files"] = {name: str(out / name) for name in ("factor_report.png", "ic.parquet", "group_returns.parquet")}
    print(json.dumps(summary, indent=2, ensure_ascii=False))
    return 0
