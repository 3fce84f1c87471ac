"""``tessary-backtest run``: a weight matrix from parquet or CSV backtested against a
store, with both charts, the statistics as JSON and, on request, the trade records."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

import pandas as pd

from tessary.cli._common import (
    UserError,
    chart_options,
    date_arg,
    dated_rows,
    non_negative_int,
    output_dir,
    printed_warnings,
    read_table,
)
from tessary.progress import step


def read_weights(path: str | Path) -> pd.DataFrame:
    """A weight matrix from parquet or CSV: one row per date (the index, or a column
    named date / DataDate / trade_date, or else the first column), one column per stock
    (codes such as "600000", "600000.XSHG" or "SH600000" become six digits). Dates
    become "YYYYMMDD"."""
    from tessary.backtest import _weights
    from tessary.store.dates import normalize_yyyymmdd

    path, frame = read_table(path, "weight")
    frame = dated_rows(frame, path, "weight")
    dates = []
    for label in frame.index:
        try:
            day = normalize_yyyymmdd(label.strip() if isinstance(label, str) else label)
        except ValueError:
            day = None
        if day is None:
            raise UserError(f"the weight file {path} has a row that is not a date: {label!r}")
        dates.append(day)
    if frame.shape[1] == 0:
        raise UserError(f"the weight file {path} has no stock columns, only dates")
    # Text cells (all of a CSV's) are read as numbers; the rest is the weights contract's.
    frame = frame.set_axis(pd.Index(dates, dtype=object), axis=0)
    try:
        text = [i for i, dtype in enumerate(frame.dtypes) if dtype == object or pd.api.types.is_string_dtype(dtype)]
        if text:
            frame = frame.copy()
            for i in text:
                frame.isetitem(i, pd.to_numeric(frame.iloc[:, i], errors="raise"))
    except (ValueError, TypeError) as exc:
        raise UserError(f"the weight file {path} has a weight that is not a number ({exc})") from None
    if len(set(dates)) != len(dates):
        raise UserError(f"the weight file {path} has a date twice")
    try:
        weights = _weights.normalize_weights(frame)
    except ValueError as exc:
        raise UserError(f"the weight file {path}: {exc}") from None
    if len(weights.index) < 2:
        raise UserError(f"the weight file {path} needs at least two dates")
    return weights


def _json_target(value: str | None) -> Path | None:
    """The --json file, its directory created (or found unusable) before any work."""
    if not value:
        return None
    target = Path(value).expanduser()
    if target.is_dir():
        raise UserError(f"--json must name a file, not the directory {target}")
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UserError(f"cannot create the directory of --json {target}: {exc.strerror or exc}") from None
    if not target.parent.is_dir():
        raise UserError(f"the directory of --json is not a directory: {target.parent}")
    return target


def _chart_file(name: str | None) -> str:
    """The main chart's file name: after --name, so runs into one folder do not collide."""
    if not name:
        return "strategy_backtest.png"
    from tessary.backtest.api import file_stem

    return file_stem(name) + ".png"


def cmd_run(args: argparse.Namespace) -> int:
    from tessary.backtest import records as rec
    from tessary.backtest import run_backtest
    from tessary.backtest.api import json_value

    store_dir = Path(args.store).expanduser()
    json_path = _json_target(args.json)
    weights = read_weights(args.weights)
    start, end = date_arg(args.start, "--start"), date_arg(args.end, "--end")
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    out = output_dir(args.out if args.out else Path(args.weights).expanduser().parent, "--out")
    if args.records and Path(args.records).expanduser().exists() and not Path(args.records).expanduser().is_dir():
        raise UserError(f"--records must be a directory: {args.records}")
    # The dates of the file; weights on rebalance dates are carried onto the trading days.
    shown = f"weights of {len(weights.index)} dates x {len(weights.columns)} stocks"
    with printed_warnings():
        with step(f"backtesting {shown} and drawing the charts"):
            result = run_backtest(
                weights,
                store_dir,
                start_date=start,
                end_date=end,
                benchmark=args.benchmark,
                rolling_window=args.rolling_window,
                chart=args.kind,
                save_path=out / _chart_file(args.name),
                name=args.name or Path(args.weights).stem,
                title=args.title,
                between=args.between,
            )
    report = result.to_dict()
    report["weights"] = str(Path(args.weights).expanduser())
    with step("recording trades and positions"):
        records = result.records
        if args.records:
            try:
                rec.write_records(records, args.records)
            except OSError as exc:
                raise UserError(f"cannot write the records into {args.records}: {exc}") from None
    report["trading"] = {k: json_value(v) for k, v in rec.trading_summary(records).items()}
    print(rec.summary_line(records), file=sys.stderr)
    text = json.dumps(report, indent=2, ensure_ascii=False)
    print(text)
    if json_path is not None:
        try:
            json_path.write_text(text + "\n")
        except OSError as exc:
            raise UserError(f"cannot write --json {json_path}: {exc.strerror or exc}") from None
    return 0


def add_parser(commands: Any) -> None:
    run = commands.add_parser("run", help="backtest a weight matrix (parquet or CSV) against a store")
    run.add_argument("weights", help="weight matrix: dates down, stock codes across (600000, 600000.XSHG, "
                     "SH600000); rebalance dates only are carried forward")
    run.add_argument("store", help="store directory")
    run.add_argument("--out", help="directory of the charts (default: beside the weight file)")
    run.add_argument("--json", help="also write the statistics JSON to this file")
    run.add_argument("--name", help="strategy name, also the charts' file names <NAME>.png and "
                     "<NAME>_weekly_net_value.png (default: the weight file's name; charts strategy_backtest.png)")
    run.add_argument("--start", help="first date of the backtest")
    run.add_argument("--end", help="last date of the backtest")
    run.add_argument("--rolling-window", type=non_negative_int, default=0, help="smooth the weights over N days")
    run.add_argument("--records", metavar="DIR", help="write trades, blocked trades, positions, pnl and daily totals as parquet into DIR")
    run.add_argument("--between", choices=("resize", "hold"), default="resize",
                     help="between the weights' dates: resize every position daily to weight x capital / previous "
                          "close (default), or hold the share counts set on each given date")
    chart_options(run)
    run.set_defaults(handler=cmd_run)
