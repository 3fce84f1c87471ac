"""The front door: backtest a weight matrix against a store in one call.

``run_backtest(weights, store)`` takes the weights as a researcher holds them (see
``tessary.backtest._weights``), loads the market of the store over their dates,
aligns everything the way the engine wants it and runs ``run_strategy_backtest_core``.
Mistakes that would otherwise give a silent wrong backtest are errors; input that is
legal but rarely meant gives a ``TessaryWarning``.
"""

from __future__ import annotations

import math
import os
import re
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest import _between, _checks, _weights
from tessary.backtest._market_frames import ENGINE_DATASETS, aligned_market
from tessary.exceptions import TessaryWarning
from tessary.store import ahead, open_store
from tessary.store.dates import date_argument

__all__ = ["run_backtest", "BacktestResult", "ENGINE_DATASETS"]

CHART_KINDS = ("large", "long")


# --------------------------------------------------------------------------- arguments


def file_stem(name: str) -> str:
    """A file name made from a strategy name: no path separators or shell-awkward
    characters, at most 100 characters."""
    stem = re.sub(r"[\\/:*?\"<>|\s]+", "_", name).strip("._")[:100]
    return stem or "strategy"


def _chart_paths(chart: str | None, save_path: Any, name: str) -> tuple[str | None, Path | None]:
    if chart is not None and chart not in CHART_KINDS:
        raise ValueError(f"chart must be one of {', '.join(map(repr, CHART_KINDS))} or None, not {chart!r}")
    if save_path is not None and not isinstance(save_path, (str, os.PathLike)):
        raise TypeError(f"save_path must be a str or a path, not {type(save_path).__name__}")
    if chart is None and save_path is None:
        return None, None
    kind = chart or "large"
    path = Path(save_path).expanduser() if save_path is not None else Path(f"{file_stem(name)}.png")
    if path.exists() and path.is_dir():
        raise ValueError(f"save_path is a directory, not an image path: {path}")
    return kind, path


# --------------------------------------------------------------------------- market


def _store_axes(store) -> tuple[pd.Index, pd.Index]:
    """The store's trading days and stock codes (those of its close prices)."""
    loaded = store.load(keys=["close_price"], mmap=True)
    if loaded is None:
        raise ValueError(f"the store {store.store_dir} holds no data")
    close = loaded["data"]["close_price"]
    if not len(close.index):
        raise ValueError(f"the store {store.store_dir} holds no dates")
    return pd.Index(close.index, dtype=object), pd.Index(close.columns, dtype=object)


def _aligned_market(store, days: pd.Index, codes: pd.Index) -> dict[str, pd.DataFrame]:
    """The eight market frames on exactly ``days`` x ``codes``, by engine parameter name."""
    loaded = store.load(start_date=days[0], end_date=days[-1], keys=list(ENGINE_DATASETS.values()), mmap=True)
    return aligned_market(loaded["data"], days, codes)


def _benchmarks(store, benchmark: str | None, days: pd.Index) -> dict | None:
    if benchmark is None:
        return None
    if not isinstance(benchmark, str):
        raise TypeError(f"benchmark must be a str or None, not {type(benchmark).__name__}")
    stored = store.load_benchmark_dict(start_date=days[0], end_date=days[-1])
    if benchmark not in stored:
        known = ", ".join(stored) or "none"
        raise ValueError(f"unknown benchmark {benchmark!r} (the store has: {known})")
    return dict(stored)


# --------------------------------------------------------------------------- the call


def run_backtest(
    weights: pd.DataFrame,
    store: Any,
    *,
    start_date: Any = None,
    end_date: Any = None,
    benchmark: str | None = "000852",
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    chart: str | None = None,
    save_path: str | os.PathLike | None = None,
    name: str = "strategy",
    title: str | None = None,
    between: str = "resize",
) -> "BacktestResult":
    """Backtest ``weights`` against the market held by ``store``.

    ``weights``: a DataFrame, one row per date, one column per stock, each cell the
    fraction of ``total_money`` to hold (NaN or 0: not held). The weights of a date
    are traded on the next trading day. Dates may be a DatetimeIndex, date objects,
    "YYYYMMDD" / "YYYY-MM-DD" strings or yyyymmdd integers; codes may be "600000",
    "600000.XSHG", "600000.SH" or "SH600000". Weights given on rebalance dates only
    are carried forward onto the store's trading days until the next given date (the
    result reports how many days were carried). A date that is not a trading day of
    the store or a code the store lacks is a ValueError.

    ``store``: a ``BinaryPreparedDataStore`` or its directory. ``start_date`` /
    ``end_date`` limit the backtest (default: the first and last date of the
    weights; an ``end_date`` after the last given date carries the last weights to
    it). ``benchmark``: the primary benchmark (None: none). ``rolling_window``,
    ``total_money``, ``fee``, ``rule_fee``: as in ``run_strategy_backtest_core``.

    ``between``: what a position does between two given dates. "resize" (default):
    every day it is re-sized to weight x ``total_money`` / previous close. "hold": the
    share counts set on a given date (from its weights and previous closes, in whole
    lots) are kept until the next given date; a refused trade is tried again on the
    following days; a split scales held and target shares together (see
    ``tessary.backtest._between``).

    Charts are drawn when ``chart`` ("large" or "long") or ``save_path`` is given:
    the main image at ``save_path`` (default ``<name>.png`` in the current
    directory) and the weekly one beside it.

    Weights summing above 1 on a date, negative weights, a market in which almost
    nothing can be bought, a stock kept more than 5 trading days after its last
    close (delisted), a benchmark without data and a ``fee`` or ``rule_fee`` above
    0.01 give a ``TessaryWarning``. The sweep and the command line take the weights
    the same way (``tessary.backtest._weights``).
    """
    from tessary.backtest._pnl_engine import run_strategy_backtest_core

    _check_labels_and_window(name, title, rolling_window)
    total_money, fee, rule_fee = _checks.check_costs(total_money, fee, rule_fee)
    kind, main_path = _chart_paths(chart, save_path, name)
    between = _between.check_between(between)
    start = date_argument(start_date, "start_date")
    end = date_argument(end_date, "end_date")
    if start and end and start > end:
        raise ValueError(f"start_date {start} is after end_date {end}")

    store = open_store(store)
    # The market's files are hashed (once per process) on a thread of their own while
    # the weights are taken apart; the loads below wait for that check.
    ahead.check_ahead(store, ["close_price", *ENGINE_DATASETS.values()])
    given = _weights.normalize_weights(weights)
    store_days, store_codes = _store_axes(store)
    prepared = _weights.on_trading_days(given, store_days, store_codes, start, end, where=f"the store {store.store_dir}")
    traded = prepared.matrix
    days = traded.index

    market = _aligned_market(store, days, traded.columns)
    benchmarks = _benchmarks(store, benchmark, days)
    messages = _weights.fee_warnings(fee, rule_fee) + _weights.input_warnings(traded, market, benchmarks, benchmark)
    for text in messages:
        warnings.warn(text, TessaryWarning, stacklevel=2)

    engine_inputs = {
        "strategy_matrix": traded,
        **market,
        # A window longer than the backtest averages the same rows as one of its length.
        "rolling_window": int(min(rolling_window, len(days))),
        "total_money": total_money,
        "fee": fee,
        "rule_fee": rule_fee,
    }
    flags = _between.given_flags(between, days, given.index)
    if flags is not None:
        engine_inputs["given"] = flags
    if main_path is not None:
        main_path.parent.mkdir(parents=True, exist_ok=True)
    core = run_strategy_backtest_core(
        **engine_inputs,
        benchmark_dict=benchmarks,
        # without a benchmark the charts' label says so
        benchmark_names=benchmark if benchmark is not None else "none",
        plot_image_kind=kind,
        plot_save_path=main_path,
        strategy_name=name,
        plot_title=title,
    )
    return BacktestResult(
        core,
        benchmark=benchmark,
        given_dates=prepared.given_dates,
        carried_days=prepared.carried_days,
        warnings=messages,
        engine_inputs=engine_inputs,
        between=between,
    )


def _check_labels_and_window(name: Any, title: Any, rolling_window: Any) -> None:
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    if title is not None and not isinstance(title, str):
        raise TypeError(f"title must be a str or None, not {type(title).__name__}")
    _checks.check_window(rolling_window)




# --------------------------------------------------------------------------- result


def date_index(dates: Any) -> pd.DatetimeIndex:
    """"YYYYMMDD" dates as a DatetimeIndex named "date", the index of every result."""
    return pd.DatetimeIndex(pd.to_datetime(pd.Index(dates, dtype=object), format="%Y%m%d"), name="date")


def _datetime_series(series: pd.Series, name: str) -> pd.Series:
    return pd.Series(series.to_numpy(dtype=np.float64), index=date_index(series.index), name=name)


def json_value(value: Any) -> Any:
    """A figure as JSON has it: bools and integers as such, a float that is not finite
    as None (null), None as None, anything else as its text."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        value = float(value)
        return value if math.isfinite(value) else None
    return None if value is None else str(value)


def _records_table(name: str, doc: str) -> property:
    """A read-only attribute of the result: the table ``name`` of its trade records."""

    def table(self: BacktestResult) -> pd.DataFrame:
        return getattr(self.records, name)

    return property(table, doc=doc)


class BacktestResult:
    """What ``run_backtest`` returns.

    ``daily_return`` and ``net_value``: Series named so, on a DatetimeIndex named
    "date" (the net value is arithmetic: running sum of the daily returns plus 1).
    ``stats``: the 13 statistics (percentage points where they are percentages).
    ``benchmark_summary``: one row per benchmark (ratios). ``plot_paths``: {} or the
    "main" and "weekly_net_value" image paths. ``given_dates`` / ``carried_days``:
    the dates the weights gave and the trading days that took the weights of an
    earlier date. ``between``: the rule between given dates ("resize" or "hold").
    ``warnings``: the texts of the warnings issued. ``to_dict()`` gives
    all of it in JSON-ready form; in a notebook the result shows its tables and charts.
    """

    def __init__(
        self,
        core: Any,
        *,
        benchmark: str | None,
        given_dates: int,
        carried_days: int,
        warnings: list[str],
        engine_inputs: dict[str, Any],
        between: str = "resize",
    ) -> None:
        self.name: str = core.strategy_name
        self.daily_return = _datetime_series(core.daily_return, "daily_return")
        self.net_value = _datetime_series(core.cumulative_return, "net_value")
        self.stats: dict = dict(core.stats)
        self.benchmark_summary: pd.DataFrame = core.benchmark_summary
        self.plot_paths: dict = dict(core.plot_paths)
        self.benchmark = benchmark
        self.given_dates = given_dates
        self.carried_days = carried_days
        self.warnings = list(warnings)
        self.between = between
        # The keyword arguments handed to the engine, kept for the trade records.
        self._engine_inputs = engine_inputs
        self._records = None

    @property
    def records(self):
        """The trade records of this backtest (``TradeRecords``), computed on first access
        by a recording pass over the same inputs and smoothing as the engine."""
        if self._records is None:
            from tessary.backtest.records import records_from_inputs

            self._records = records_from_inputs(self._engine_inputs)
        return self._records

    trades = _records_table("trades", "One row per executed trade: date, code, side, shares, price, value, "
                            "commission, levy.")
    blocked = _records_table("blocked", "One row per wanted trade that a feasibility flag refused, with the reason.")
    positions = _records_table("positions", "One row per held stock and date: shares after the day's trades, value "
                               "at the close, and whether the date lies after the stock's last close (delisted).")
    pnl = _records_table("pnl", "One row per stock and date with a profit: the five terms of the day's profit.")
    daily_trading = _records_table("daily", "Per date: bought and sold value, commission, levy, stocks held, traded "
                                   "turnover.")

    @property
    def weights(self) -> pd.DataFrame:
        """The weight matrix that was traded ("YYYYMMDD" dates x six-digit codes)."""
        return self._engine_inputs["strategy_matrix"]

    def _dates(self) -> tuple[str | None, str | None]:
        index = self.daily_return.index
        if not len(index):
            return None, None
        return index[0].strftime("%Y%m%d"), index[-1].strftime("%Y%m%d")

    def to_dict(self) -> dict:
        """Everything but the series, in JSON-ready form (non-finite numbers as None)."""
        first, last = self._dates()
        return {
            "strategy_name": self.name,
            "first_date": first,
            "last_date": last,
            "benchmark": self.benchmark,
            "between": self.between,
            "stats": {str(k): json_value(v) for k, v in self.stats.items()},
            "benchmark_summary": [
                {str(k): json_value(v) if k != "benchmark_name" else str(v) for k, v in row.items()}
                for row in self.benchmark_summary.to_dict(orient="records")
            ],
            "plot_paths": dict(self.plot_paths),
            "weight_dates": {
                "given": self.given_dates,
                "trading_days": len(self.weights.index),
                "carried": self.carried_days,
            },
            "warnings": list(self.warnings),
        }

    def __repr__(self) -> str:
        first, last = self._dates()
        annual = self.stats.get("annual_return")
        annual_text = f"{annual:.2f} %" if isinstance(annual, (int, float)) and math.isfinite(annual) else "--"
        return (
            f"<BacktestResult {self.name!r}: {first}..{last}, {len(self.daily_return)} days, "
            f"annual return {annual_text}, benchmark {self.benchmark}>"
        )

    def _repr_html_(self) -> str:
        from tessary.backtest._result_html import result_html

        return result_html(self)
