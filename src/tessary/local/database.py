"""The local database: its two tables, connections to it, and the pieces of SQL and
the argument checks the queries share."""

from __future__ import annotations

import datetime as _dt
import re
from collections.abc import Iterable
from pathlib import Path
from typing import Any, Union

import numpy as np
import pandas as pd

PathLike = Union[str, Path]

FACTOR_TABLE = "factor_values"
INDEX_TABLE = "index_daily"
FACTOR_COLUMNS = ("ukey", "date", "factor", "value")
INDEX_COLUMNS = ("ukey", "date", "close", "daily_return")

SCHEMA = (
    f"CREATE TABLE IF NOT EXISTS {FACTOR_TABLE} (ukey VARCHAR, date DATE, factor VARCHAR, value DOUBLE)",
    f"CREATE TABLE IF NOT EXISTS {INDEX_TABLE} (ukey VARCHAR, date DATE, close DOUBLE, daily_return DOUBLE)",
)

_DIGITS8 = re.compile(r"^\d{8}$")
_DASHED = re.compile(r"^(\d{4})[-/](\d{1,2})[-/](\d{1,2})$")


def duckdb_module():
    try:
        import duckdb
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError("the local data service needs duckdb: pip install 'tessary[cli]'") from exc
    return duckdb


def connect(path: str, read_only: bool = False):
    """A DuckDB connection that prints nothing (no progress bar of its own)."""
    con = duckdb_module().connect(path, read_only=read_only)
    con.execute("SET enable_progress_bar = false")
    return con


def query_date(value: Any, name: str) -> _dt.date | None:
    """A query bound as a date: None, "YYYYMMDD", "YYYY-MM-DD", a date or a Timestamp."""
    if value is None:
        return None
    if isinstance(value, (pd.Timestamp, _dt.date)) and value is not pd.NaT:
        return _dt.date(value.year, value.month, value.day)
    if isinstance(value, (str, int, np.integer)) and not isinstance(value, bool):
        text = str(value).strip()
        match = _DIGITS8.match(text) and (text[:4], text[4:6], text[6:])
        match = match or ((m := _DASHED.match(text)) and m.groups())
        if match:
            try:
                return _dt.date(*(int(part) for part in match))
            except ValueError:
                pass
    raise ValueError(f"{name} is not a date in YYYYMMDD or YYYY-MM-DD form: {value!r}")


def name_list(value: Any, name: str) -> list[str]:
    """A name or a list of names as a list; TypeError for anything else."""
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)) and all(isinstance(item, str) for item in value):
        return list(value)
    raise TypeError(f"{name} must be a str or a list of str, not {type(value).__name__}")


def date_clause(start: _dt.date | None, end: _dt.date | None) -> tuple[str, list[Any]]:
    """The filter of a query on ``date`` between two dates, inclusive (" AND date >= ?
    AND date <= ?", a bound that is None left out), and its parameters."""
    clause, params = "", []
    if start is not None:
        clause += " AND date >= ?"
        params.append(start)
    if end is not None:
        clause += " AND date <= ?"
        params.append(end)
    return clause, params


def placeholders(values: list) -> str:
    """One "?" per value, separated by commas, for an ``IN (...)`` of a query."""
    return ", ".join("?" for _ in values)


def between(start_date: Any, end_date: Any) -> tuple[str, list[Any]]:
    """:func:`date_clause` of two dates as a query method takes them (see :func:`query_date`)."""
    return date_clause(query_date(start_date, "start_date"), query_date(end_date, "end_date"))


def empty_frame(columns: Iterable[str]) -> pd.DataFrame:
    """An answer without rows: the columns with the types a query gives them."""
    kinds = {"ukey": "str", "factor": "str", "date": "datetime64[us]"}
    return pd.DataFrame({name: pd.Series(dtype=kinds.get(name, "float64")) for name in columns})


def create_database(path: PathLike) -> Path:
    """Create the database file with both (empty) tables; an existing file keeps its data."""
    path = Path(path).expanduser()
    path.parent.mkdir(parents=True, exist_ok=True)
    con = connect(str(path))
    try:
        for statement in SCHEMA:
            con.execute(statement)
    finally:
        con.close()
    return path
