"""The one way weights become the engine's weights, whichever door they come through
(``run_backtest``, a sweep's strategy result, the command line's weight file).

Dates may be a DatetimeIndex, date objects, "YYYYMMDD" / "YYYY-MM-DD" strings or
yyyymmdd integers; they become "YYYYMMDD" strings. Stock codes may carry an exchange
suffix or prefix ("600000.XSHG", "600000.SH", "SH600000") or be integers; they become
six-digit strings, and a suffix naming the wrong exchange for the number is an error.
The cells must be real numbers (NaN: not held), never infinite. Weights given on
rebalance dates only are carried forward onto the store's trading days in between.
The same module names what is legal but rarely meant (``input_warnings``).
"""

from __future__ import annotations

import decimal
import numbers
import re
from dataclasses import dataclass

import numpy as np
import pandas as pd

from tessary.report import MIN_BUYABLE_SHARE
from tessary.store.dates import normalize_yyyymmdd

__all__ = [
    "EngineWeights",
    "normalize_weights",
    "on_trading_days",
    "engine_weights",
    "input_warnings",
    "fee_warnings",
    "normalize_dates",
    "normalize_codes",
    "weight_values",
    "carry_forward",
    "exchange_conflict",
    "first_few",
    "HIGH_FEE",
    "DELISTED_DAYS",
]

# "600000", "600000.XSHG", "600000.sh", "SH600000", "sz.000001", "BJ430047"
_CODE = re.compile(r"^(?:([A-Z]{2})\.?)?(\d{6})(?:\.([A-Z]{2,4}))?$")
_SHOWN = 3
#: Exchange marks (suffix or prefix) -> exchange.
_EXCHANGE_MARKS = {
    "XSHG": "Shanghai", "SH": "Shanghai", "SS": "Shanghai", "SSE": "Shanghai",
    "XSHE": "Shenzhen", "SZ": "Shenzhen", "SZSE": "Shenzhen",
    "BJ": "Beijing", "BSE": "Beijing", "XBSE": "Beijing",
}
#: A date whose weights sum above 1 by more than rounding is leveraged.
_LEVERAGE_TOLERANCE = 1e-9
_MIN_CELLS_FOR_BUYABLE_CHECK = 10
#: A commission or levy above this (1 %) is almost surely given in percent or basis points.
HIGH_FEE = 0.01
#: Weights keeping a stock more than this many trading days after its last close warn.
DELISTED_DAYS = 5


def first_few(labels, count: int = _SHOWN) -> str:
    """The first ``count`` labels as text for a message, with "..." when there are more."""
    labels = list(labels)
    text = ", ".join(repr(x) if isinstance(x, str) else str(x) for x in labels[:count])
    return text + (", ..." if len(labels) > count else "")


# --------------------------------------------------------------------------- labels

def _unique_labels(labels: list, bad: list, not_labels: str, accepted: str, named_twice: str) -> pd.Index:
    """``labels`` as an object Index; ValueError when any were ``bad`` (how many
    ``not_labels``, the first few, what is ``accepted``) or when a label occurs twice
    (how many are ``named_twice``, the first few)."""
    if bad:
        raise ValueError(f"{len(bad)} {not_labels} ({first_few(bad)}); {accepted}")
    result = pd.Index(labels, dtype=object)
    if not result.is_unique:
        twice = result[result.duplicated()].unique()
        raise ValueError(f"{len(twice)} {named_twice}: {first_few(twice)}")
    return result


def normalize_dates(index: pd.Index) -> pd.Index:
    """The dates of ``index`` as "YYYYMMDD" strings; ValueError naming how many labels
    are not dates (and the first few), or which dates occur twice."""
    if isinstance(index, pd.DatetimeIndex):
        if index.hasnans:
            raise ValueError(f"the weights' index holds {int(index.isna().sum())} missing date(s) (NaT)")
        dates, bad = list(index.strftime("%Y%m%d")), []
    else:
        dates, bad = [], []
        for label in index:
            try:
                dates.append(normalize_yyyymmdd(label))
            except ValueError:
                bad.append(label)
        bad += [label for label, day in zip(index, dates) if day is None]
    return _unique_labels(
        dates,
        bad,
        "label(s) of the weights' index are not dates",
        'dates may be a DatetimeIndex, "YYYYMMDD" or "YYYY-MM-DD" strings or yyyymmdd integers',
        "date(s) occur more than once in the weights",
    )


def _number_exchange(code: str) -> str | None:
    """The exchange that lists six-digit stock ``code`` by its number range, when known."""
    if code[:2] in ("60", "68", "90"):
        return "Shanghai"
    if code[:2] in ("00", "20", "30"):
        return "Shenzhen"
    if code[0] in "48" or code[:2] == "92":
        return "Beijing"
    return None


def _parse_code(label: object) -> tuple[str | None, str | None]:
    """A code label's six digits (None when it is not a stock code) and, when its
    exchange mark contradicts the number, the text saying so."""
    if isinstance(label, (int, np.integer)) and not isinstance(label, (bool, np.bool_)):
        return (f"{int(label):06d}" if 0 <= int(label) < 1_000_000 else None), None
    if not isinstance(label, str):
        return None, None
    match = _CODE.match(label.strip().upper())
    if not match:
        return None, None
    prefix, code, suffix = match.groups()
    listed = _number_exchange(code)
    for mark in (prefix, suffix):
        named = _EXCHANGE_MARKS.get(mark or "")
        if named and listed and named != listed:
            return code, f"{label} ({code} is listed in {listed}, not {named})"
    return code, None


def exchange_conflict(label: object) -> str | None:
    """For a stock code whose exchange mark contradicts its number ("600000.XSHE"), the
    text saying so; None otherwise (also for labels that are not codes)."""
    return _parse_code(label)[1]


def normalize_codes(columns: pd.Index) -> pd.Index:
    """The stock codes of ``columns`` as six-digit strings; ValueError naming how many
    labels are not stock codes (and the first few), codes whose exchange mark
    contradicts their number, or codes named twice."""
    parsed = [_parse_code(label) for label in columns]
    codes = [code for code, _ in parsed]
    bad = [label for label, code in zip(columns, codes) if code is None]
    conflicts = [text for _, text in parsed if text]
    if conflicts and not bad:
        raise ValueError(
            f"{len(conflicts)} code(s) of the weights name the wrong exchange: {first_few(conflicts)}; "
            "a wrong suffix usually means the codes were mapped wrongly"
        )
    return _unique_labels(
        codes,
        bad,
        "column(s) of the weights are not stock codes",
        'codes may be "600000", "600000.XSHG", "600000.SH" or "SH600000"',
        "stock(s) are named by more than one column of the weights",
    )


# --------------------------------------------------------------------------- values


def _real_dtype(dtype) -> bool | None:
    """True for a dtype of real numbers, False for one that is not, None for object
    columns, whose values must be looked at."""
    if dtype == object:
        return None
    if pd.api.types.is_bool_dtype(dtype):
        return False
    return bool(pd.api.types.is_integer_dtype(dtype) or pd.api.types.is_float_dtype(dtype))


def _real_values(column: pd.Series) -> bool:
    """Whether an object column holds real numbers only (missing cells allowed)."""
    return all(
        isinstance(value, (numbers.Real, decimal.Decimal)) and not isinstance(value, (bool, np.bool_))
        for value in column.dropna().to_numpy()
    )


def weight_values(weights: pd.DataFrame) -> np.ndarray:
    """The weights as a new float64 array (missing cells NaN); ValueError for a column
    that does not hold real numbers (bool, dates, durations, complex, text) and for an
    infinite weight."""
    dtypes = weights.dtypes
    verdicts = {dtype: _real_dtype(dtype) for dtype in set(dtypes)}
    wrong = []
    if not all(verdicts.values()):  # looked at column by column only when needed
        for i, dtype in enumerate(dtypes):
            real = verdicts[dtype]
            if real is False or (real is None and not _real_values(weights.iloc[:, i])):
                wrong.append((weights.columns[i], dtype))
    if wrong:
        shown = first_few([f"{label} ({dtype})" for label, dtype in wrong])
        raise ValueError(
            f"{len(wrong)} column(s) of the weights do not hold real numbers: {shown}; "
            "a weight is a fraction of the capital (float, NaN: not held)"
        )
    values = weights.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    infinite = first_infinite(values, weights)
    if infinite is not None:
        count, first = infinite
        raise ValueError(f"{count} weight(s) are infinite (first: {first}); a weight is a fraction of the capital")
    return values


def first_infinite(values: np.ndarray, frame: pd.DataFrame) -> tuple[int, str] | None:
    """How many of ``values`` (the cells of ``frame``) are infinite, and the date and
    stock of the first as "date stock"; None when none is."""
    infinite = np.isinf(values)
    if not infinite.any():
        return None
    rows, cols = np.nonzero(infinite)
    return int(infinite.sum()), f"{frame.index[rows[0]]!s} {frame.columns[cols[0]]!s}"


def normalize_weights(weights: object) -> pd.DataFrame:
    """A new float64 weight frame on "YYYYMMDD" dates (ascending) x six-digit codes."""
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights must be a pandas DataFrame (dates x stocks), not {type(weights).__name__}")
    if weights.shape[1] == 0:
        raise ValueError("the weights have no stock columns")
    if weights.shape[0] == 0:
        raise ValueError("the weights have no dates")
    # weight_values returns a new array, taken over as it is (no second copy).
    return pd.DataFrame(
        weight_values(weights),
        index=normalize_dates(weights.index),
        columns=normalize_codes(weights.columns),
        copy=False,
    ).sort_index()


# --------------------------------------------------------------------------- trading days


def carry_forward(weights: pd.DataFrame, days: pd.Index) -> pd.DataFrame:
    """``weights`` (sorted "YYYYMMDD" rows) on the trading ``days``: each day takes the
    whole row of the latest given date on or before it, so weights given on rebalance
    dates only hold until the next given date. Every day must lie on or after the first
    given date."""
    if weights.index.equals(days):  # weights on every day: nothing to carry (no copy)
        return weights.set_axis(days, axis=0)
    positions = weights.index.get_indexer(days, method="ffill")
    if (positions < 0).any():  # pragma: no cover - the caller starts at the first given date
        raise ValueError("a trading day lies before the first date of the weights")
    values = weights.to_numpy()[positions]
    return pd.DataFrame(values, index=days, columns=weights.columns)


def _check_in_store(weights: pd.DataFrame, days: pd.Index, codes: pd.Index, where: str) -> None:
    missing_dates = weights.index[~weights.index.isin(days)]
    if len(missing_dates):
        raise ValueError(
            f"{len(missing_dates)} date(s) of the weights are not trading days of {where} "
            f"(which covers {days[0]}..{days[-1]}): {first_few(missing_dates)}"
        )
    missing_codes = weights.columns[~weights.columns.isin(codes)]
    if len(missing_codes):
        raise ValueError(
            f"{len(missing_codes)} stock(s) of the weights are not in {where}: {first_few(missing_codes)}"
        )


def _relevant_rows(given: pd.DataFrame, start: str | None, end: str | None) -> pd.DataFrame:
    """The given rows that matter for a backtest from ``start`` to ``end``: none after
    ``end``, and before ``start`` only the last one (whose weights hold at ``start``)."""
    if end:
        given = given.loc[given.index <= end]
    if start:
        before = np.flatnonzero(given.index <= start)
        if len(before):
            given = given.iloc[before[-1]:]
    if not len(given.index):
        raise ValueError(f"no date of the weights lies on or before the end date {end}")
    return given


def _trading_days(given: pd.Index, days: pd.Index, start: str | None, end: str | None) -> pd.Index:
    """The store's trading days from the later of ``start`` and the first given date to
    ``end`` (default: the last given date)."""
    first = max(given[0], start) if start else given[0]
    last = end or given[-1]
    chosen = days[(days >= first) & (days <= last)]
    if len(chosen) < 2:
        raise ValueError(
            f"the backtest needs at least two trading days; between {first} and {last} the store has {len(chosen)}"
        )
    return chosen


@dataclass(frozen=True)
class EngineWeights:
    """The weights the engine trades (``matrix``: float64, the backtest's trading days x
    the weights' codes), how many dates the weights gave for the backtest and how many
    of its trading days took the weights of an earlier date."""

    matrix: pd.DataFrame
    given_dates: int
    carried_days: int
    #: The dates the weights gave (those the hold rule sets its targets on).
    given_index: pd.Index | None = None


def on_trading_days(
    given: pd.DataFrame, store_days: pd.Index, store_codes: pd.Index,
    start: str | None = None, end: str | None = None, *, where: str = "the store",
) -> EngineWeights:
    """Normalized weights (``normalize_weights``) on the store's trading days from
    ``start`` (default: the first given date) to ``end`` (default: the last given
    date). A date that is not a trading day or a code the store lacks is a ValueError
    naming ``where``."""
    given = _relevant_rows(given, start, end)
    _check_in_store(given, store_days, store_codes, where)
    days = _trading_days(given.index, store_days, start, end)
    # Carried from the first given date, so a start between two rebalance dates begins
    # with the weights of the rebalance before it.
    span = store_days[(store_days >= given.index[0]) & (store_days <= days[-1])]
    traded = carry_forward(given, span).loc[days[0]:]
    return EngineWeights(traded, len(given.index), int((~days.isin(given.index)).sum()), given.index)


def engine_weights(
    weights: object, store_days: pd.Index, store_codes: pd.Index,
    start: str | None = None, end: str | None = None, *, where: str = "the store",
) -> EngineWeights:
    """``on_trading_days(normalize_weights(weights), ...)``: what any door hands over,
    as the engine trades it."""
    return on_trading_days(normalize_weights(weights), store_days, store_codes, start, end, where=where)


# --------------------------------------------------------------------------- warnings


def _weight_warnings(weights: pd.DataFrame, messages: list[str]) -> None:
    values = weights.to_numpy()
    totals = np.fmax(values, 0.0).sum(axis=1)  # fmax: NaN counts as 0
    with np.errstate(invalid="ignore"):
        negative = values < 0
    levered = totals > 1.0 + _LEVERAGE_TOLERANCE
    if levered.any():
        top = int(np.argmax(totals))
        messages.append(
            f"{int(levered.sum())} date(s) have weights summing above 1 (up to {totals[top]:.4g} on "
            f"{weights.index[top]}): leverage against the fixed capital, positions are sized on the whole sum"
        )
    if negative.any():
        rows, cols = np.nonzero(negative)
        messages.append(
            f"{int(negative.sum())} negative weight(s) on {len(np.unique(rows))} date(s) (first: "
            f"{weights.index[rows[0]]} {weights.columns[cols[0]]} = {values[rows[0], cols[0]]:.4g}): "
            "the engine is long-only, negative weights are not traded"
        )
    if not (totals > 0).any():
        messages.append("no weight is positive: nothing is traded")


def _market_warnings(weights: pd.DataFrame, market: dict[str, pd.DataFrame], messages: list[str]) -> None:
    """Warns when almost none of the stock-days the weights want to buy can be bought."""
    wanted = weights.to_numpy()[:-1] > 0  # the weights of day T are traded on day T+1
    can_buy = market["can_buy_stock"].to_numpy(dtype=bool)[1:]
    cells = int(wanted.sum())
    if cells < _MIN_CELLS_FOR_BUYABLE_CHECK:
        return
    share = float((wanted & can_buy).sum()) / cells
    if share < MIN_BUYABLE_SHARE:
        messages.append(
            f"only {share:.1%} of the {cells} stock-days the weights want to buy can be bought: the market "
            "data marks (almost) every stock as blocked; usual cause: rq_is_suspended written as 1 = "
            "suspended or left out (in this data 1 means the stock trades)"
        )


def _delisting_warnings(weights: pd.DataFrame, close: pd.DataFrame, messages: list[str]) -> None:
    """Warns when the weights keep a stock more than ``DELISTED_DAYS`` trading days after
    its last close in the backtest: a held position there has no price and cannot be
    sold, its capital sits idle."""
    values = close.to_numpy(dtype=np.float64)
    n = values.shape[0]
    # Only a stock without a close on the last day can have stopped; few do.
    ended = np.flatnonzero(~np.isfinite(values[-1]))
    valid = np.isfinite(values[:, ended])
    ended, valid = ended[valid.any(axis=0)], valid[:, valid.any(axis=0)]
    if not len(ended):
        return
    last = n - 1 - np.argmax(valid[::-1], axis=0)  # the row of each one's last close
    with np.errstate(invalid="ignore"):
        kept = (weights.to_numpy()[:, ended] > 0) & (np.arange(n)[:, None] > last)
    counts = kept.sum(axis=0)
    stale = np.flatnonzero(counts > DELISTED_DAYS)
    if len(stale):
        named = [
            f"{weights.columns[ended[j]]} (last close {close.index[last[j]]}, kept {int(counts[j])} days)" for j in stale
        ]
        messages.append(
            f"the weights keep {len(stale)} stock(s) more than {DELISTED_DAYS} trading days after their last "
            f"close (delisted?): {first_few(named)}; a held position there has no price and cannot be sold"
        )


def _benchmark_warnings(benchmarks: dict | None, benchmark: str | None, days: pd.Index, messages: list[str]) -> None:
    if benchmarks is None or benchmark not in benchmarks:
        return
    series = benchmarks[benchmark]
    valid = pd.to_numeric(pd.Series(series), errors="coerce").reindex(days[1:]).notna().sum()
    if valid == 0:
        messages.append(
            f"the benchmark {benchmark} has no daily return on the backtest's dates: the excess figures compare "
            "against a flat zero (usual cause: index bars loaded without daily_return or close)"
        )


def fee_warnings(fee: float, rule_fee: float) -> list[str]:
    """The texts for a ``fee`` or ``rule_fee`` above ``HIGH_FEE`` (1 %)."""
    return [
        f"{name}={value:g} charges {value:.2%} of every trade's value: fees are ratios "
        f"(0.0001 = 1 basis point), not percent"
        for name, value in (("fee", fee), ("rule_fee", rule_fee)) if value > HIGH_FEE
    ]


def input_warnings(
    weights: pd.DataFrame, market: dict[str, pd.DataFrame], benchmarks: dict | None, benchmark: str | None
) -> list[str]:
    """The texts of what is legal but rarely meant in one backtest's weights and market
    (the engine weights, the aligned market frames by engine parameter name, the
    benchmarks): weights summing above 1, negative weights, no positive weight, a
    market in which almost nothing can be bought, a stock kept long after its last
    close, a benchmark without data. With ``fee_warnings`` these are the warnings of
    every door."""
    messages: list[str] = []
    _weight_warnings(weights, messages)
    _market_warnings(weights, market, messages)
    _delisting_warnings(weights, market["close_price"], messages)
    _benchmark_warnings(benchmarks, benchmark, weights.index, messages)
    return messages
