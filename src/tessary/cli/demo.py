"""``tessary-backtest demo``: a synthetic market through the whole chain, from a DuckDB
file of the local data service to a momentum backtest with both charts."""

from __future__ import annotations

import argparse
import json
import math
import time
from typing import Any

import numpy as np
import pandas as pd

from tessary.cli._common import (
    UserError,
    chart_options,
    float_up_to,
    int_at_least,
    non_negative_int,
    output_dir,
    printed_warnings,
)
from tessary.progress import ProgressClient, progress_bar, registered_client, step


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


#: The synthetic calendar starts in 2021; pandas dates end in 2262.
MAX_YEARS = 200


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


def cmd_demo(args: argparse.Namespace) -> int:
    from tessary.backtest import run_backtest
    from tessary.backtest._prepare import BENCHMARK_INDEX_CODES, GroupPreparedDataBuilder
    from tessary.build import DIGEST_KEY, source_digests
    from tessary.local import LocalDataClient
    from tessary.store import open_store
    from tessary.synthetic import generate_market, trading_calendar

    if args.benchmark not in BENCHMARK_INDEX_CODES:
        raise UserError(f"unknown benchmark {args.benchmark!r} (choose from {', '.join(BENCHMARK_INDEX_CODES)})")
    out = output_dir(args.out, "--out")
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()

    days = len(trading_calendar(years=args.years))
    bar = progress_bar(total=days, desc=f"generating {args.stocks} stocks x {args.years:g} years", unit="day")
    try:
        market = generate_market(n_stocks=args.stocks, years=args.years, seed=args.seed, progress=bar.update)
    except ValueError as exc:  # a market too small for the demo (too few days)
        raise UserError(f"--stocks/--years: {exc}") from None
    finally:
        bar.close()
    database = out / "market.duckdb"
    bar = progress_bar(total=len(market.factors), desc=f"writing {database.name}", unit="factor")
    try:
        market.to_duckdb(database, overwrite=True, progress=lambda name: bar.update(1))
    finally:
        bar.close()

    client = LocalDataClient(database)
    bar = progress_bar(total=16, desc="building prepared data", unit="query")
    try:
        with registered_client(ProgressClient(client, bar)):
            payload = GroupPreparedDataBuilder(market.start_date, market.end_date).build()
    finally:
        bar.close()
    # Kept as a build keeps them, so that a later build of this store finds corrections.
    payload["meta"][DIGEST_KEY] = source_digests(client, market.start_date, market.end_date)
    store = open_store(out / "store", must_exist=False)
    with step(f"writing the store {store.store_dir}"):
        store.write_payload(payload)
    del payload
    with step("loading the store"):
        loaded = store.load()
    data = loaded["data"]
    with step("computing momentum weights"):
        from tessary.strategies import momentum

        weights = momentum(data)
    with printed_warnings():
        with step(f"backtesting {len(weights.index)} days x {len(weights.columns)} stocks and drawing the charts"):
            result = run_backtest(
                weights,
                store,
                benchmark=args.benchmark,
                chart=args.kind,
                save_path=out / "strategy_backtest.png",
                name="momentum_60d",
                title=args.title,
            )
    report = result.to_dict()
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


def add_parser(commands: Any) -> None:
    demo = commands.add_parser("demo", help="synthetic market -> DuckDB -> store -> momentum backtest with charts")
    demo.add_argument("--out", default="tessary-demo", help="output directory (default: ./tessary-demo)")
    demo.add_argument("--stocks", type=int_at_least(10, "must be at least 10"), default=300,
                      help="number of stocks, at least 10 (default: 300)")
    demo.add_argument("--years", type=float_up_to(MAX_YEARS), default=3,
                      help=f"years of trading days, at most {MAX_YEARS} (default: 3)")
    demo.add_argument("--seed", type=non_negative_int, default=0, help="seed of the synthetic market (default: 0)")
    chart_options(demo)
    demo.set_defaults(handler=cmd_demo)
