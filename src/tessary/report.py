"""What a built store really holds: the data report printed at the end of a build.

Per dataset the share of valid cells, per benchmark its number of valid days, the
share of stock-days that can be bought, stock-days without a close between two closes
and stocks whose close stops before the last date; warnings (with the usual cause and how to load
what is missing) when a benchmark has no valid day, a price dataset is empty or almost
nothing can be bought. Also an English hint for the builder's own error messages.
Pure functions: they take a store or loaded frames and return text.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["data_report", "store_report", "builder_error_hint", "MIN_BUYABLE_SHARE"]

#: Below this share of buyable stock-days (among those with a close) the market is
#: almost certainly mislabelled: suspensions and limit-up days block a few percent of
#: a real market, while an inverted suspension flag leaves only the suspended days.
MIN_BUYABLE_SHARE = 0.2

#: Dataset -> the factor it is derived from, for datasets that must not be empty.
#: Splits and dividends are events, sparse by nature, and are not checked.
_SOURCES = {
    "close_price": "Close",
    "open_price": "Open",
    "prev_close": "Close",
    "buy_price": "tick_vwap_price_935_1005",
    "sell_price": "tick_vwap_price_925_1000",
    "industry_matrix": "rq_industry_exposure_new",
}
_BENCHMARK_CODES = {"000852": "000852.XSHG", "000300": "000300.XSHG", "000905": "000905.XSHG"}
_LOAD_FACTORS = "load it with tessary.local.load_files(DATABASE, factors=FILE) (columns ukey, date, factor, value)"
_LOAD_INDEX = (
    "load index bars with tessary.local.load_files(DATABASE, index_daily=FILE) "
    "(columns ukey, date and close and/or daily_return)"
)
_SUSPENSION = (
    "usual cause: rq_is_suspended written as 1 = suspended, or not loaded at all; in this data "
    "convention 1 means the stock trades that day (0 = suspended), and a stock-day without the "
    "value counts as blocked"
)


def _valid_share(frame: pd.DataFrame) -> float:
    """Share of cells that hold a value: finite numbers, or True for a flag matrix."""
    values = frame.to_numpy()
    if not values.size:
        return float("nan")
    if values.dtype == np.bool_:
        return float(values.mean())
    return float(np.isfinite(values.astype(np.float64, copy=False)).mean())


def _buyable_share(data: Mapping[str, pd.DataFrame]) -> tuple[float, int]:
    """Share of stock-days with a close that can be bought, and how many there are."""
    close = data["close_price"]
    can_buy = data["can_buy_stock"].reindex(index=close.index, columns=close.columns, fill_value=False)
    listed = np.isfinite(close.to_numpy(dtype=np.float64))
    cells = int(listed.sum())
    if not cells:
        return float("nan"), 0
    return float((can_buy.to_numpy(dtype=bool) & listed).sum()) / cells, cells


def _close_gaps(close: pd.DataFrame) -> tuple[list[str], list[str]]:
    """Report lines and warnings about the close's shape over time: stock-days without a
    close between two closes (each resumption after them has no previous close, which
    makes the engine sell a held position whole), and stocks whose close stops for good
    before the last date (delisted)."""
    valid = np.isfinite(close.to_numpy(dtype=np.float64))
    n = valid.shape[0]
    if not valid.size:
        return [], []
    rows = np.arange(n)[:, None]
    first = np.where(valid, rows, n).min(axis=0)
    last = np.where(valid, rows, -1).max(axis=0)
    holes = ~valid & (rows > first) & (rows < last)
    resumed = valid[1:] & ~valid[:-1] & (rows[1:] > first)
    lines: list[str] = []
    problems: list[str] = []
    if holes.any():
        stocks = np.flatnonzero(holes.any(axis=0))
        count = int(resumed.sum())
        lines.append(
            f"  stock-days without a close between two closes: {int(holes.sum())} "
            f"({len(stocks)} stock(s)); days trading resumes without a previous close: {count}"
        )
        shown = ", ".join(str(close.columns[j]) for j in stocks[:3]) + (", ..." if len(stocks) > 3 else "")
        problems.append(
            f"{int(holes.sum())} stock-day(s) of {len(stocks)} stock(s) ({shown}) have no close between two closes "
            f"(suspended days written without a close): on the {count} day(s) trading resumes the previous close "
            f"is missing, which forces up to {count} held position(s) to be sold whole and bought back the next "
            "day; fix: write the previous close on suspended days"
        )
    ended = np.flatnonzero((last >= 0) & (last < n - 1))
    if len(ended):
        named = [f"{close.columns[j]} after {close.index[last[j]]}" for j in ended[:3]]
        lines.append(
            f"  stocks whose close stops before the last date (delisted): {len(ended)} "
            f"({', '.join(named)}{', ...' if len(ended) > 3 else ''})"
        )
    return lines, problems


def data_report(data: Mapping[str, pd.DataFrame], benchmarks: Mapping[str, pd.Series]) -> tuple[list[str], list[str]]:
    """The report lines and the warnings for a store's datasets and benchmarks."""
    lines = ["data report:"]
    problems: list[str] = []
    width = max([len(key) for key in data] + [12])
    for key, frame in data.items():
        share = _valid_share(frame)
        what = "True" if frame.to_numpy().dtype == np.bool_ else "valid"
        lines.append(f"  {key:<{width}}  {share:7.1%} {what}  ({frame.shape[0]} dates x {frame.shape[1]} stocks)")
        if key in _SOURCES and not share > 0:
            problems.append(
                f"the dataset {key} holds no value: the factor {_SOURCES[key]!r} is missing from the database; "
                + _LOAD_FACTORS
            )
    for name, series in benchmarks.items():
        valid = int(pd.to_numeric(pd.Series(series), errors="coerce").notna().sum())
        lines.append(f"  benchmark {name}: {valid} valid day(s)")
        if not valid:
            code = _BENCHMARK_CODES.get(str(name), str(name))
            problems.append(
                f"the benchmark {name} has no valid day: the database holds no daily_return or close for "
                f"{code}; backtests against it compare with a flat zero; " + _LOAD_INDEX
            )
    if "close_price" in data and "can_buy_stock" in data:
        share, cells = _buyable_share(data)
        if cells:
            lines.append(f"  stock-days that can be bought: {share:.1%} of {cells} with a close")
            if share < MIN_BUYABLE_SHARE:
                problems.append(f"almost nothing can be bought ({share:.1%} of the stock-days); " + _SUSPENSION)
    if "close_price" in data:
        more_lines, more_problems = _close_gaps(data["close_price"])
        lines += more_lines
        problems += more_problems
    return lines, problems


def store_report(store: Any, start_date: str | None = None) -> tuple[list[str], list[str]]:
    """``data_report`` of what ``store`` (a store object or its directory) holds, from
    ``start_date`` on (default: everything). An update reports only the days it wrote,
    so that checking it costs what the update cost, not a read of the whole store."""
    from tessary.backtest._prepare import BinaryPreparedDataStore

    if not isinstance(store, BinaryPreparedDataStore):
        store = BinaryPreparedDataStore(store)
    loaded = store.load(start_date=start_date, mmap=True)
    if loaded is None:
        return ["data report: the store holds nothing"], []
    lines, problems = data_report(loaded["data"], store.load_benchmark_dict(start_date=start_date))
    if start_date is not None:
        lines = [f"data report of the days from {start_date} on (the days this build wrote):"] + lines[1:]
    return lines, problems


#: A fragment of a builder message -> what is missing and how to load it.
_HINTS = (
    ("基准日频数据为空", "the database holds no index bars for this benchmark; " + _LOAD_INDEX),
    ("基准缺少 daily_return/close 列", "the index bars have neither a daily_return nor a close column; " + _LOAD_INDEX),
    ("基准缺少 DataDate 列", "the index bars have no date column; " + _LOAD_INDEX),
    (
        "成分股矩阵缺失",
        "the database lacks the constituent factors named (1.0 on the days a stock is a member); "
        + _LOAD_FACTORS,
    ),
    ("因子查询返回结果缺少 ukey/date 列", "a factor answer has no ukey or date column; " + _LOAD_FACTORS),
)


def builder_error_hint(message: str) -> str | None:
    """An English line saying what is missing and how to load it, for a message of the
    prepared-data builder (which stays as it is); None for other messages."""
    for fragment, hint in _HINTS:
        if fragment in message:
            return hint
    return None
