"""Auditable records of a strategy backtest: what the VWAP engine traded, what it
could not trade, what it held and where each day's profit came from.

The records are made by the native recording pass (``tessary.backtest._records``),
which runs the return engine's day loop with the same arithmetic, so they add up to
the engine's daily returns. They come as long-form DataFrames, one row per record,
sorted by date and then by stock code:

``trades``     date, code, side ("buy"/"sell"), shares, price, value, commission, levy
``blocked``    date, code, side, shares (wanted), reason ("cannot buy"/"cannot sell")
``positions``  date, code, shares (after the day's trades), value (at the close),
               after_last_close (True when the stock has no close on this day or
               any later day of the backtest: delisted, the position cannot be sold)
``pnl``        date, code, buy, hold, hold_dividend, sell, sell_dividend, total
``daily``      date, bought_value, sold_value, commission, levy, held, turnover,
               pnl, daily_return

Money is in the currency of the capital; ``turnover`` is the one-sided traded value
((bought + sold) / 2) relative to the capital; ``daily_return`` is the day's profit
over the capital, equal to the engine's return. Under the resize rule a sell's value
is shares x split factor x price on a split day, the proceeds the return rules credit
(share counts are not scaled on a split); under the hold rule (``given``) share counts
are the new shares from a split on, and a sell's value is shares x price.
"""

from __future__ import annotations

import os
import tempfile
from functools import cached_property
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from tessary.backtest._market_frames import MARKET_FRAMES

__all__ = [
    "TradeRecords",
    "compute_records",
    "records_from_inputs",
    "write_records",
    "trading_summary",
    "summary_line",
    "RECORD_TABLES",
]

#: The record tables, in the order they are written.
RECORD_TABLES = ("trades", "blocked", "positions", "pnl", "daily")
#: The keyword arguments of ``run_strategy_backtest_core`` that the records use.
ENGINE_INPUT_KEYS = ("strategy_matrix", *MARKET_FRAMES, "rolling_window", "total_money", "fee", "rule_fee", "given")
_SIDES = ("buy", "sell")
_REASONS = ("cannot buy", "cannot sell")
_PNL_TERMS = ("buy", "hold", "hold_dividend", "sell", "sell_dividend")


def _six_digit(code: Any) -> str:
    """A stock code as text: integers and digit strings padded to six digits."""
    if isinstance(code, (int, np.integer)) and not isinstance(code, (bool, np.bool_)):
        return f"{int(code):06d}"
    text = str(code)
    return text.zfill(6) if text.isdigit() else text


def _date_labels(index: pd.Index) -> pd.Index:
    """The return dates as a DatetimeIndex where they read as dates ("YYYYMMDD"
    text or numbers, dashed text, datetimes); other labels are kept as they are."""
    from tessary.backtest._core import _to_datetime_index

    try:
        return _to_datetime_index(index)
    except (ValueError, TypeError, OverflowError):
        return index


def _take(labels: Any, positions: np.ndarray) -> Any:
    """labels[positions] as an array pandas keeps without converting it again."""
    return pd.Index(labels).array.take(positions.astype(np.intp, copy=False))


class TradeRecords:
    """The records of one backtest. The frames are built on first access (the native
    pass keeps its results as arrays until then) and cached; each access returns
    the same frame, so treat them as read-only or copy them."""

    def __init__(self, raw: dict) -> None:
        self._raw = raw
        self.total_money = float(raw["total_money"])
        self._dates = _date_labels(pd.Index(raw["dates"]))
        codes = [_six_digit(c) for c in raw["columns"]]
        self._codes = pd.Index(codes)
        # Records come in column order within a date; where the columns are not in
        # code order, each table is re-sorted by (date, code).
        ranks = np.argsort(np.argsort(np.asarray(codes, dtype=object), kind="stable"))
        self._code_rank = None if np.all(np.diff(ranks) > 0) else ranks

    def __repr__(self) -> str:
        counts = ", ".join(f"{name}={len(self._raw[name]['day'])}" for name in RECORD_TABLES[:-1])
        return f"TradeRecords({len(self._dates)} dates x {len(self._codes)} stocks; {counts})"

    @property
    def dates(self) -> pd.Index:
        """The return dates (the weight matrix's dates less the first)."""
        return self._dates

    @property
    def codes(self) -> pd.Index:
        """The stock codes as text, in the weight matrix's column order."""
        return self._codes

    @property
    def buffer_bytes(self) -> int:
        """Bytes the records take in the native pass's tables (before any frame)."""
        return int(self._raw["buffer_bytes"])

    def _order(self, table: dict) -> np.ndarray | None:
        if self._code_rank is None:
            return None
        return np.lexsort((self._code_rank[table["stock"]], table["day"]))

    def _frame(self, name: str, columns: dict[str, Any]) -> pd.DataFrame:
        table = self._raw[name]
        order = self._order(table)
        pick = (lambda a: a) if order is None else (lambda a: a[order])
        day, stock = pick(table["day"]), pick(table["stock"])
        data = {"date": _take(self._dates, day), "code": _take(self._codes, stock)}
        for key, value in columns.items():
            data[key] = value(pick) if callable(value) else pick(table[value])
        return pd.DataFrame(data)

    @cached_property
    def trades(self) -> pd.DataFrame:
        side = self._raw["trades"]["side"]
        return self._frame("trades", {
            "side": lambda pick: _take(_SIDES, pick(side)),
            "shares": "shares", "price": "price", "value": "value", "commission": "commission", "levy": "levy",
        })

    @cached_property
    def blocked(self) -> pd.DataFrame:
        side = self._raw["blocked"]["side"]
        return self._frame("blocked", {
            "side": lambda pick: _take(_SIDES, pick(side)),
            "shares": "shares",
            "reason": lambda pick: _take(_REASONS, pick(side)),
        })

    @cached_property
    def positions(self) -> pd.DataFrame:
        last = self._raw.get("last_close_day")
        day = self._raw["positions"]["day"]
        stock = self._raw["positions"]["stock"]
        stale = np.zeros(len(day), dtype=bool) if last is None else day > last[stock]
        return self._frame("positions", {
            "shares": "shares", "value": "value", "after_last_close": lambda pick: pick(stale),
        })

    @cached_property
    def pnl(self) -> pd.DataFrame:
        table = self._raw["pnl"]
        columns: dict[str, Any] = {term: term for term in _PNL_TERMS}
        # The five terms added in the engine's order.
        columns["total"] = lambda pick: pick(
            (((table["buy"] + table["hold"]) + table["hold_dividend"]) + table["sell"]) + table["sell_dividend"]
        )
        return self._frame("pnl", columns)

    @cached_property
    def daily(self) -> pd.DataFrame:
        d = self._raw["daily"]
        money = self.total_money
        return pd.DataFrame({
            "date": self._dates,
            "bought_value": d["bought_value"],
            "sold_value": d["sold_value"],
            "commission": d["commission"],
            "levy": d["levy"],
            "held": d["held"].astype(np.int64),
            "turnover": (d["bought_value"] + d["sold_value"]) / 2.0 / money,
            "pnl": d["pnl"],
            "daily_return": d["pnl"] / money,
        })

    def frames(self) -> dict[str, pd.DataFrame]:
        """All five frames by name, in ``RECORD_TABLES`` order."""
        return {name: getattr(self, name) for name in RECORD_TABLES}

    @property
    def blocked_count(self) -> int:
        """The number of wanted trades a flag refused."""
        return int(len(self._raw["blocked"]["day"]))

    @property
    def blocked_buy_count(self) -> int:
        """How many of the refused trades are buys."""
        return int(np.count_nonzero(self._raw["blocked"]["side"] == 0))

    @property
    def traded_turnover(self) -> float:
        """Mean daily one-sided traded turnover relative to the capital, a ratio
        (NaN without return dates)."""
        d = self._raw["daily"]
        if not len(d["pnl"]):
            return float("nan")
        return float(np.mean((d["bought_value"] + d["sold_value"]) / 2.0 / self.total_money))


def compute_records(
    strategy_matrix: pd.DataFrame,
    can_buy_stock: pd.DataFrame,
    cant_sell_stock: pd.DataFrame,
    split_factor: pd.DataFrame,
    dividend_factor: pd.DataFrame,
    close_price: pd.DataFrame,
    prev_close: pd.DataFrame,
    buy_price: pd.DataFrame,
    sell_price: pd.DataFrame,
    *,
    rolling_window: int = 0,
    total_money: float = 1e8,
    fee: float = 0.0001,
    rule_fee: float = 0.0005,
    given: Any = None,
) -> TradeRecords:
    """The records of the backtest ``run_strategy_backtest_core`` runs on these
    inputs: the weights smoothed over ``rolling_window`` rows when it is positive
    (exactly as the pipeline does), then the engine's day loop with lots of 200
    shares. The arguments are checked as the engine checks them, with its messages:
    its argument rules first, then the value checks every backtest door shares
    (``tessary.backtest._checks``).
    ``given`` (one boolean per date, or None): the hold rule, as the engine's.
    """
    from tessary.backtest import _checks, _records

    market = (can_buy_stock, cant_sell_stock, split_factor, dividend_factor, close_price, prev_close, buy_price, sell_price)
    _checks.check_engine_inputs(
        strategy_matrix, can_buy_stock, buy_price,
        rolling_window=rolling_window, total_money=total_money, fee=fee, rule_fee=rule_fee,
    )
    work_matrix = _records.smooth_weights(strategy_matrix, rolling_window)
    raw = _records.calc_strategy_vwap_records(
        signal_matrix=work_matrix,
        **dict(zip(MARKET_FRAMES, market)),
        total_money=total_money,
        fee=fee,
        rule_fee=rule_fee,
        given=given,
    )
    return TradeRecords({**raw, "last_close_day": _last_close_day(close_price)})


def _last_close_day(close_price: pd.DataFrame) -> np.ndarray:
    """Per stock, the record day (the close's row less one) of its last close; -1
    before the first record day, and for a stock without any close."""
    valid = np.isfinite(np.asarray(close_price.to_numpy(dtype=np.float64, na_value=np.nan)))
    last = np.where(valid.any(axis=0), valid.shape[0] - 1 - np.argmax(valid[::-1], axis=0), 0)
    return last - 1


def records_from_inputs(inputs: dict) -> TradeRecords:
    """``compute_records`` of the keyword arguments a backtest passed to
    ``run_strategy_backtest_core`` (other keys, such as the benchmarks or chart
    options, are ignored; scalars that are absent take the pipeline's defaults)."""
    chosen = {key: inputs[key] for key in ENGINE_INPUT_KEYS if key in inputs}
    return compute_records(**chosen)


def _write_parquet(frame: pd.DataFrame, path: Path) -> None:
    """Writes ``frame`` to ``path`` through a temporary file in the same directory,
    so that a failed write never leaves a truncated file under the final name."""
    fd, tmp = tempfile.mkstemp(prefix=f".{path.stem}.", suffix=".tmp", dir=path.parent)
    os.close(fd)
    try:
        frame.to_parquet(tmp, index=False)
        os.replace(tmp, path)
    except BaseException:
        Path(tmp).unlink(missing_ok=True)
        raise


def write_records(records: TradeRecords, directory: str | os.PathLike) -> dict[str, Path]:
    """Writes the five frames as ``<name>.parquet`` into ``directory`` (created when
    missing) and returns their paths by name. Needs pyarrow."""
    directory = Path(directory).expanduser()
    directory.mkdir(parents=True, exist_ok=True)
    paths = {}
    for name in RECORD_TABLES:
        path = directory / f"{name}.parquet"
        _write_parquet(getattr(records, name), path)
        paths[name] = path
    return paths


def trading_summary(records: TradeRecords) -> dict[str, float | int]:
    """The traded turnover and the refused trades: "traded_turnover" (mean daily
    one-sided traded value over the capital, in percent, as the statistics give
    their turnover) and "blocked_trades" (a count)."""
    return {
        "traded_turnover": records.traded_turnover * 100.0,
        "blocked_trades": records.blocked_count,
    }


def summary_line(records: TradeRecords) -> str:
    """One line: the mean daily one-sided traded turnover and the refused trades."""
    summary = trading_summary(records)
    buys = records.blocked_buy_count
    turnover = summary["traded_turnover"]
    text = "--" if not np.isfinite(turnover) else f"{turnover:.2f} %"
    return (
        f"traded turnover (one-sided, daily mean): {text}; blocked trades: {summary['blocked_trades']} "
        f"(buys: {buys}, sells: {summary['blocked_trades'] - buys})"
    )
