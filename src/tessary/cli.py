"""The ``tessary-backtest`` command.

``tessary-backtest demo [--out DIR]``
    Generates a synthetic A-share market into a DuckDB file, builds the prepared
    data through the local data service, writes it into a store, loads it back,
    backtests a momentum strategy against the three benchmarks and draws both charts.
``tessary-backtest build DATABASE STORE``
    Builds a store from a DuckDB file of the local data service: in full, or (when
    the store already holds data) only the days after its last date; constituent
    masks the store lacks are supplemented.
``tessary-backtest verify STORE``
    Reads a store back whole and checks every checksum; names what is damaged.
``tessary-backtest run WEIGHTS STORE``
    Backtests a weight matrix (parquet or CSV: dates down, stock codes across)
    against a store, draws both charts and prints the statistics as JSON, with the
    traded turnover and the blocked trades; ``--records DIR`` also writes the
    trade records as parquet.
``tessary-backtest sweep STORE --strategy MODULE:FUNCTION --grid NAME=V1,V2 ...``
    Backtests a strategy for every combination of the grid, on threads or a Dask
    cluster; writes the table (CSV, parquet) and a heatmap, prints the best rows.

A mistake of the user (a missing or malformed file, an unknown benchmark, weights
that do not meet the store) is reported in one line with exit status 2.
"""

from __future__ import annotations

import argparse
import json
import math
import pickle
import sys
import time
from collections.abc import Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest._market_frames import aligned_market
from tessary.backtest.api import _json_value

PROG = "tessary-backtest"



_EXTRAS = ("duckdb", "tqdm", "pyarrow")


class UserError(Exception):
    """A mistake of the user: reported in one line, exit status 2."""


# --------------------------------------------------------------------------- helpers


def _tqdm(**kwargs: Any):
    from tqdm.auto import tqdm

    kwargs.setdefault("file", sys.stderr)
    kwargs.setdefault("leave", False)
    kwargs.setdefault("dynamic_ncols", True)
    return tqdm(**kwargs)


@contextmanager
def _step(description: str):
    """A one-step progress bar (with elapsed time) around work that reports no progress itself."""
    bar = _tqdm(total=1, desc=description, bar_format="{desc}: {elapsed}")
    try:
        yield bar
        bar.update(1)
    finally:
        bar.close()


class _ProgressClient:
    """Wraps a data-service client and advances a progress bar once per query."""

    def __init__(self, client: Any, bar: Any) -> None:
        self._client, self._bar = client, bar

    def _call(self, method: str, label: str, **kwargs: Any) -> Any:
        self._bar.set_postfix_str(label[:40], refresh=False)
        try:
            return getattr(self._client, method)(**kwargs)
        finally:
            self._bar.update(1)

    def get_factors(self, **kwargs: Any) -> Any:
        factor = kwargs.get("factor")
        label = factor if isinstance(factor, str) else f"{len(factor or [])} factors"
        return self._call("get_factors", label, **kwargs)

    def get_index_daily(self, **kwargs: Any) -> Any:
        return self._call("get_index_daily", "index bars", **kwargs)


@contextmanager
def _registered_client(client: Any):
    """Registers ``client`` as the data-service client for the duration of the block."""
    from tessary import singleton

    previous = singleton.set_instance(client)
    try:
        yield client
    finally:
        singleton.set_instance(previous)


def _date_arg(value: str | None, name: str) -> str | None:
    from tessary.backtest._store import normalize_yyyymmdd

    try:
        return normalize_yyyymmdd(value)
    except ValueError:
        raise UserError(f"{name} must be a date such as 20240131 or 2024-01-31, not {value!r}") from None


#: Statistic key -> (label, unit) for the demo's table; "%" marks percentage points.
STAT_LABELS = {
    "annual_return": ("annual return", "%"),
    "long_sharp": ("Sharpe ratio", ""),
    "max_dd": ("maximum drawdown", "%"),
    "extra_annual_return": ("excess annual return", "%"),
    "extra_sharp": ("excess Sharpe ratio", ""),
    "extra_max_dd": ("excess maximum drawdown", "%"),
    "benchmark_annual_return": ("benchmark annual return", "%"),
    "benchmark_sharp": ("benchmark Sharpe ratio", ""),
    "return_corr": ("correlation with the benchmark", ""),
    "win_rate": ("daily win rate", "%"),
    "excess_win_rate": ("daily excess win rate", "%"),
    "holding_count": ("stocks held (mean)", ""),
    "turnover": ("daily turnover (mean)", "%"),
}


def _format_stat(value: Any, unit: str = "") -> str:
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, float, np.integer, np.floating)):
        value = float(value)
        return "--" if not math.isfinite(value) else f"{value:,.2f}{' %' if unit else ''}"
    return str(value)


def _stats_table(stats: dict, summary: pd.DataFrame | None = None) -> str:
    """The statistics as an aligned text table, then one line per benchmark."""
    rows = [(STAT_LABELS.get(str(k), (str(k), ""))[0], str(k), _format_stat(v, STAT_LABELS.get(str(k), ("", ""))[1]))
            for k, v in stats.items()]
    w0 = max([len(r[0]) for r in rows] + [9])
    w1 = max([len(r[1]) for r in rows] + [3])
    lines = [f"{'statistic':<{w0}}  {'key':<{w1}}  {'value':>12}", "-" * (w0 + w1 + 16)]
    lines += [f"{label:<{w0}}  {key:<{w1}}  {text:>12}" for label, key, text in rows]
    if summary is not None and len(summary):
        lines += ["", f"{'benchmark':<9}  {'annual return':>13}  {'excess annual':>13}  {'excess Sharpe':>13}  {'excess max dd':>13}"]
        for row in summary.itertuples(index=False):
            pct = lambda v: _format_stat(float(v) * 100, "%")  # noqa: E731 - the summary holds ratios
            lines.append(
                f"{row.benchmark_name:<9}  {pct(row.benchmark_annual_return):>13}  {pct(row.excess_annual_return):>13}  "
                f"{_format_stat(row.excess_sharpe):>13}  {pct(row.excess_max_dd):>13}"
            )
    return "\n".join(lines)


# --------------------------------------------------------------------------- strategy


# --------------------------------------------------------------------------- store access


def _open_store(store_dir: Path, component_names: list[str] | None = None):
    from tessary.backtest._prepare import BinaryPreparedDataStore

    return BinaryPreparedDataStore(store_dir, component_names=component_names)


# --------------------------------------------------------------------------- run


def read_weights(path: str | Path) -> pd.DataFrame:
    """A weight matrix from parquet or CSV: one row per date (the index, or a column
    named date / DataDate / trade_date, or else the first column), one column per stock
    (codes such as "600000", "600000.XSHG" or "SH600000" become six digits). Dates
    become "YYYYMMDD"."""
    from tessary.backtest import _weights
    from tessary.backtest._store import normalize_yyyymmdd

    path = Path(path).expanduser()
    if not path.is_file():
        raise UserError(f"weight file not found: {path}")
    name = path.name.lower()
    try:
        if name.endswith((".parquet", ".pq")):
            frame = pd.read_parquet(path)
        elif name.endswith((".csv", ".csv.gz", ".txt")):
            frame = pd.read_csv(path, dtype=str)
        else:
            raise UserError(f"the weight file must be .parquet or .csv: {path}")
    except UserError:
        raise
    except Exception as exc:
        raise UserError(f"cannot read the weight file {path}: {str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
    date_column = next((c for c in ("date", "DataDate", "trade_date") if c in frame.columns), None)
    if date_column is not None:
        frame = frame.set_index(date_column)
    elif isinstance(frame.index, pd.RangeIndex):
        if frame.shape[1] < 2:
            raise UserError(f"the weight file {path} needs a date column and at least one stock column")
        frame = frame.set_index(frame.columns[0])
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
    try:
        codes = list(_weights.normalize_codes(frame.columns))
    except ValueError as exc:
        raise UserError(f"the weight file {path}: {exc}") from None
    if len(set(dates)) != len(dates):
        raise UserError(f"the weight file {path} has a date twice")
    try:
        values = frame.apply(pd.to_numeric, errors="raise").to_numpy(dtype=np.float64, na_value=np.nan)
    except (ValueError, TypeError) as exc:
        raise UserError(f"the weight file {path} has a weight that is not a number ({exc})") from None
    weights = pd.DataFrame(values, index=pd.Index(dates), columns=pd.Index(codes)).sort_index()
    if len(weights.index) < 2:
        raise UserError(f"the weight file {path} needs at least two dates")
    return weights


def backtest(
    weights: pd.DataFrame,
    market: dict[str, pd.DataFrame],
    benchmarks: dict,
    out_dir: Path,
    *,
    benchmark: str = "000852",
    image_kind: str = "large",
    strategy_name: str = "strategy",
    title: str | None = None,
    rolling_window: int = 0,
    chart_name: str = "strategy_backtest.png",
):
    """Run the strategy pipeline on aligned data and draw both charts into ``out_dir``."""
    from tessary.backtest._pnl_engine import run_strategy_backtest_core

    if benchmark not in benchmarks:
        known = ", ".join(benchmarks) or "none"
        raise UserError(f"unknown benchmark {benchmark!r} (the store has: {known})")
    out_dir.mkdir(parents=True, exist_ok=True)
    aligned = aligned_market(market, weights.index, weights.columns)
    with _step(f"backtesting {len(weights.index)} days x {len(weights.columns)} stocks and drawing the charts"):
        return run_strategy_backtest_core(
            weights,
            **aligned,
            benchmark_dict=dict(benchmarks),
            benchmark_names=benchmark,
            rolling_window=rolling_window,
            plot_image_kind=image_kind,
            plot_save_path=out_dir / chart_name,
            strategy_name=strategy_name,
            plot_title=title,
        )


def _result_json(result, weights_path: str | None = None) -> dict:
    summary = result.benchmark_summary
    return {
        "strategy_name": result.strategy_name,
        "first_date": str(result.daily_return.index[0]) if len(result.daily_return) else None,
        "last_date": str(result.daily_return.index[-1]) if len(result.daily_return) else None,
        "stats": {str(k): _json_value(v) for k, v in result.stats.items()},
        "benchmark_summary": [
            {str(k): _json_value(v) for k, v in row.items()} for row in summary.to_dict(orient="records")
        ],
        "plot_paths": dict(result.plot_paths),
        **({"weights": weights_path} if weights_path else {}),
    }


# --------------------------------------------------------------------------- commands


def cmd_demo(args: argparse.Namespace) -> int:
    from tessary.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder
    from tessary.local import LocalDataClient
    from tessary.synthetic import generate_market

    from tessary.backtest._prepare import BENCHMARK_INDEX_CODES

    if args.benchmark not in BENCHMARK_INDEX_CODES:
        raise UserError(f"unknown benchmark {args.benchmark!r} (choose from {', '.join(BENCHMARK_INDEX_CODES)})")
    out = Path(args.out).expanduser().resolve()
    if out.exists() and not out.is_dir():
        raise UserError(f"--out must be a directory: {out}")
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()

    from tessary.synthetic import trading_calendar

    days = len(trading_calendar(years=args.years))
    bar = _tqdm(total=days, desc=f"generating {args.stocks} stocks x {args.years:g} years", unit="day")
    try:
        market = generate_market(n_stocks=args.stocks, years=args.years, seed=args.seed, progress=bar.update)
    except ValueError as exc:  # a market too small for the demo (too few days)
        raise UserError(f"--stocks/--years: {exc}") from None
    finally:
        bar.close()
    database = out / "market.duckdb"
    bar = _tqdm(total=len(market.factors), desc=f"writing {database.name}", unit="factor")
    try:
        market.to_duckdb(database, overwrite=True, progress=lambda name: bar.update(1))
    finally:
        bar.close()

    client = LocalDataClient(database)
    bar = _tqdm(total=16, desc="building prepared data", unit="query")
    try:
        with _registered_client(_ProgressClient(client, bar)):
            payload = GroupPreparedDataBuilder(market.start_date, market.end_date).build()
    finally:
        bar.close()
    store = BinaryPreparedDataStore(out / "store")
    with _step(f"writing the store {store.store_dir}"):
        store.write_payload(payload)
    del payload
    with _step("loading the store"):
        loaded = store.load()
        benchmarks = store.load_benchmark_dict()
    data = loaded["data"]
    with _step("computing momentum weights"):
        from tessary.strategies import momentum

        weights = momentum(data)
    result = backtest(
        weights,
        data,
        benchmarks,
        out,
        benchmark=args.benchmark,
        image_kind=args.kind,
        strategy_name="momentum_60d",
        title=args.title,
    )
    report = _result_json(result)
    (out / "stats.json").write_text(json.dumps(report, indent=2, ensure_ascii=False) + "\n")
    elapsed = time.perf_counter() - started
    print(f"synthetic market: {len(market.codes)} stocks, {len(market.dates)} trading days "
          f"({market.start_date}..{market.end_date}), seed {args.seed}")
    print(f"database {database}; store {store.store_dir}")
    print(f"strategy: 60-day momentum, top 10 % equal weight, rebalanced every 5 days; primary benchmark {args.benchmark}")
    print()
    print(_stats_table(result.stats, result.benchmark_summary))
    print()
    print(f"statistics: {out / 'stats.json'}  ({elapsed:.1f} s)")
    for key in ("main", "weekly_net_value"):
        print(result.plot_paths[key])
    return 0


def cmd_build(args: argparse.Namespace) -> int:
    from tessary.report import builder_error_hint, store_report
    from tessary.build import BuildError, build_store

    started = time.perf_counter()
    try:
        summary = build_store(
            args.database,
            args.store,
            _date_arg(args.start, "--start"),
            _date_arg(args.end, "--end"),
            full=args.full,
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
    with _step("checking the stored data"):
        lines, problems = store_report(Path(args.store).expanduser(), summary.get("first_written"))
    print("\n".join(lines))
    for problem in problems:
        print(f"{PROG}: warning: {problem}", file=sys.stderr)
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    """Reads the whole store back and checks every checksum; exit status 1 when damaged."""
    store_dir = Path(args.store).expanduser()
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    store = _open_store(store_dir)
    if not store.metadata_path.exists():
        raise UserError(f"{store_dir} is not a store (it has no {store.metadata_path.name})")
    with _step(f"verifying {store_dir}"):
        problems = store.verify()
    if problems:
        for line in problems:
            print(f"DAMAGED {line}")
        print(f"{store_dir}: {len(problems)} damaged part(s)")
        return 1
    print(f"{store_dir}: whole (every checksum matches)")
    return 0


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
    from tessary.backtest.api import _file_stem

    return _file_stem(name) + ".png"


def cmd_run(args: argparse.Namespace) -> int:
    import warnings

    from tessary.backtest.api import run_backtest
    from tessary.exceptions import TessaryWarning

    store_dir = Path(args.store).expanduser()
    json_path = _json_target(args.json)
    weights = read_weights(args.weights)
    start, end = _date_arg(args.start, "--start"), _date_arg(args.end, "--end")
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    out = (Path(args.out).expanduser() if args.out else Path(args.weights).expanduser().parent).resolve()
    if out.exists() and not out.is_dir():
        raise UserError(f"--out must be a directory: {out}")
    if args.records and Path(args.records).expanduser().exists() and not Path(args.records).expanduser().is_dir():
        raise UserError(f"--records must be a directory: {args.records}")
    # The dates of the file; weights on rebalance dates are carried onto the trading days.
    shown = f"weights of {len(weights.index)} dates x {len(weights.columns)} stocks"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", TessaryWarning)
        try:
            with _step(f"backtesting {shown} and drawing the charts"):
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
        except ValueError as exc:  # the front door's messages about the weights and the store
            raise UserError(str(exc)) from None
    for warning in caught:
        if issubclass(warning.category, TessaryWarning):
            print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    report = result.to_dict()
    report["weights"] = str(Path(args.weights).expanduser())
    from tessary.backtest import records as rec

    with _step("recording trades and positions"):
        records = rec.records_from_inputs(result._engine_inputs)
        if args.records:
            try:
                rec.write_records(records, args.records)
            except OSError as exc:
                raise UserError(f"cannot write the records into {args.records}: {exc}") from None
    report["trading"] = {k: _json_value(v) for k, v in rec.trading_summary(records).items()}
    print(rec.summary_line(records), file=sys.stderr)
    text = json.dumps(report, indent=2, ensure_ascii=False)
    print(text)
    if json_path is not None:
        try:
            json_path.write_text(text + "\n")
        except OSError as exc:
            raise UserError(f"cannot write --json {json_path}: {exc.strerror or exc}") from None
    return 0


def _first_line(exc: BaseException) -> str:
    text = str(exc)
    return text.splitlines()[0] if text else type(exc).__name__


def cmd_sweep(args: argparse.Namespace) -> int:
    from tessary.sweep import _command, run_sweep

    started = time.perf_counter()
    store_dir = Path(args.store).expanduser()
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    out = Path(args.out).expanduser().resolve()
    if out.exists() and not out.is_dir():
        raise UserError(f"--out must be a directory: {out}")
    start, end = _date_arg(args.start, "--start"), _date_arg(args.end, "--end")
    try:
        strategy = _command.load_strategy(args.strategy)
        grid = _command.parse_grid(args.grid)
        with _command.scheduler(args.scheduler, args.local_cluster, strategy) as client:
            result = run_sweep(store_dir, strategy, grid, start_date=start, end_date=end, benchmark=args.benchmark,
                               client=client, workers=args.threads, between=args.between)
    except (ValueError, TypeError, KeyError, FileNotFoundError) as exc:
        raise UserError(str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)) from None
    # Written only once every combination has run: an interrupted sweep leaves no files.
    paths = _command.write_outputs(result, out)
    failed = int(result.table["error"].notna().sum())
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


def _int_at_least(minimum: int, wording: str):
    """An argparse type: an integer of at least ``minimum``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{wording}: {value}")
        return value

    return parse


_positive_int = _int_at_least(1, "must be at least 1")
_non_negative_int = _int_at_least(0, "must not be negative")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="A-share strategy backtests from prepared data.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{demo,build,verify,run,sweep}")

    def chart_options(p: argparse.ArgumentParser) -> None:
        p.add_argument("--benchmark", default="000852", help="primary benchmark: 000852 (default), 000300 or 000905")
        p.add_argument("--kind", choices=("large", "long"), default="large", help="chart layout (default: large)")
        p.add_argument("--title", default=None, help="chart title (default: the strategy name)")

    demo = commands.add_parser("demo", help="synthetic market -> DuckDB -> store -> momentum backtest with charts")
    demo.add_argument("--out", default="tessary-demo", help="output directory (default: ./tessary-demo)")
    demo.add_argument("--stocks", type=_int_at_least(10, "must be at least 10"), default=300,
                      help="number of stocks, at least 10 (default: 300)")
    demo.add_argument("--years", type=_positive_float, default=3, help="years of trading days (default: 3)")
    demo.add_argument("--seed", type=_non_negative_int, default=0, help="seed of the synthetic market (default: 0)")
    chart_options(demo)
    demo.set_defaults(handler=cmd_demo)

    build = commands.add_parser("build", help="build or update a store from a DuckDB file")
    build.add_argument("database", help="DuckDB file of the local data service")
    build.add_argument("store", help="store directory (created when missing)")
    build.add_argument("--start", help="first date of a new store or a --full build (default: the database's first)")
    build.add_argument("--end", help="last date (default: the database's last date)")
    build.add_argument("--full", action="store_true", help="rebuild everything instead of adding the new days")
    build.add_argument(
        "--component", action="append", metavar="NAME",
        help="a further constituent factor whose mask the store should hold (repeatable)",
    )
    build.set_defaults(handler=cmd_build)

    verify = commands.add_parser("verify", help="check every file and checksum of a store")
    verify.add_argument("store", help="store directory")
    verify.set_defaults(handler=cmd_verify)

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
    run.add_argument("--rolling-window", type=_non_negative_int, default=0, help="smooth the weights over N days")
    run.add_argument("--records", metavar="DIR", help="write trades, blocked trades, positions, pnl and daily totals as parquet into DIR")
    run.add_argument("--between", choices=("resize", "hold"), default="resize",
                     help="between the weights' dates: resize every position daily to weight x capital / previous "
                          "close (default), or hold the share counts set on each given date")
    chart_options(run)
    run.set_defaults(handler=cmd_run)

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
    where.add_argument("--local-cluster", type=_positive_int, metavar="N", help="run on a new local Dask cluster of N processes")
    where.add_argument("--threads", type=_positive_int, metavar="N", help="run on N threads of this process (default: the cores)")
    sweep.add_argument("--out", default="tessary-sweep", help="output directory (default: ./tessary-sweep)")
    sweep.set_defaults(handler=cmd_sweep)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``tessary-backtest``; returns the exit status."""
    from tessary.exceptions import NetworkError

    parser = make_parser()
    args = parser.parse_args(argv)  # usage errors exit with status 2
    try:
        return args.handler(args)
    except UserError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except NetworkError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except pickle.UnpicklingError as exc:  # a damaged store: its metadata file cannot be read
        print(f"{PROG}: error: damaged store metadata: {_first_line(exc)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except ModuleNotFoundError as exc:
        hint = " (install the command-line extras: pip install 'tessary[cli]')" if exc.name in _EXTRAS else ""
        print(f"{PROG}: error: {exc}{hint}", file=sys.stderr)
        return 1
    except Exception as exc:  # anything else is not the user's mistake, but still one line
        text = str(exc).splitlines()[0] if str(exc) else ""
        print(f"{PROG}: unexpected error: {type(exc).__name__}: {text}", file=sys.stderr)
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
