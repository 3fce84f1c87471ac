"""A user's own parquet or CSV files loaded into a database in one transaction: each
file read through DuckDB's readers, checked, and merged by key."""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Iterable
from pathlib import Path

from tessary.exceptions import TessaryWarning
from tessary.local import database as db
from tessary.local.database import FACTOR_TABLE, INDEX_TABLE, PathLike

_FACTOR_REQUIRED = ("ukey", "date", "factor", "value")
_INTEGER_TYPES = frozenset(
    {"TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT", "UTINYINT", "USMALLINT", "UINTEGER", "UBIGINT", "UHUGEINT"}
)
_INDEX_REQUIRED = ("ukey", "date")


def _as_paths(value: PathLike | Iterable[PathLike] | None, what: str) -> list[Path]:
    if value is None:
        return []
    items = [value] if isinstance(value, (str, os.PathLike)) else list(value)
    paths = []
    for item in items:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"{what} must be paths, not {type(item).__name__}")
        path = Path(item).expanduser()
        if not path.is_file():
            raise FileNotFoundError(f"{what} file not found: {path}")
        if _reader(path) is None:
            raise ValueError(f"{what} file must be .parquet or .csv: {path}")
        paths.append(path)
    return paths


def _reader(path: Path) -> str | None:
    name = path.name.lower()
    if name.endswith((".parquet", ".pq")):
        return "read_parquet"
    if name.endswith((".csv", ".csv.gz", ".tsv", ".txt")):
        return "read_csv"
    return None


#: Characters DuckDB's file readers take as a pattern (``*`` and ``**``, ``?``, ``[...]``).
_GLOB_CHARACTERS = re.compile(r"([*?\[])")


def _file_sql(path: Path) -> str:
    """``path`` as the SQL text of a reader argument that names exactly that file.

    DuckDB reads a file argument as a glob pattern, so "f*.csv" would also read
    "fx.csv". Each pattern character is wrapped in a one-character class ("[*]"),
    which matches only itself. The path is made absolute so that a leading
    "name:" is never taken for a URL scheme."""
    text = _GLOB_CHARACTERS.sub(r"[\1]", str(path.absolute()))
    return "'" + text.replace("'", "''") + "'"


def _source(
    con, path: Path, required: tuple[str, ...], optional: tuple[str, ...], errors: str, dropped: list[str]
) -> str:
    """A SELECT over one file giving the required and optional columns in table types;
    rejects a file without the required columns or with an unreadable date, and rows
    whose code or numbers cannot be read (with ``errors="drop"``: leaves them out and
    adds a line saying so to ``dropped``)."""
    reader = _reader(path)
    scan = f"{reader}({_file_sql(path)})"
    try:
        described = con.execute(f"DESCRIBE SELECT * FROM {scan}").fetchall()
        if reader == "read_csv":  # codes and dates as text: leading zeros survive
            text = [f"'{row[0]}': 'VARCHAR'" for row in described if row[0] in ("ukey", "date", "factor")]
            scan = f"{reader}({_file_sql(path)}, types={{{', '.join(text)}}})"
            described = con.execute(f"DESCRIBE SELECT * FROM {scan}").fetchall()
    except Exception as exc:  # duckdb raises its own error types for unreadable files
        raise ValueError(f"cannot read {path}: {str(exc).splitlines()[0]}") from exc
    types = {row[0]: str(row[1]).upper() for row in described}
    missing = [name for name in required if name not in types]
    if missing:
        raise ValueError(f"{path} lacks column(s) {', '.join(missing)} (has {', '.join(types) or 'none'})")
    if types["date"] == "DATE" or types["date"].startswith("TIMESTAMP"):
        date_sql = "CAST(date AS DATE)"
    else:
        text = "trim(CAST(date AS VARCHAR))"
        date_sql = f"COALESCE(TRY_CAST({text} AS DATE), CAST(TRY_STRPTIME({text}, '%Y%m%d') AS DATE))"
    columns = [
        "trim(CAST(ukey AS VARCHAR)) AS ukey",
        f"{date_sql} AS date",
    ]
    for name in required[2:] + optional:
        if name not in types:
            columns.append(f"CAST(NULL AS DOUBLE) AS {name}")
        elif name == "factor":
            columns.append("trim(CAST(factor AS VARCHAR)) AS factor")
        else:
            columns.append(f"TRY_CAST({name} AS DOUBLE) AS {name}")
    numeric = [name for name in required[2:] + optional if name in types and name != "factor"]
    unreadable = " OR ".join(
        f"(TRY_CAST({name} AS DOUBLE) IS NULL AND {name} IS NOT NULL AND trim(CAST({name} AS VARCHAR)) <> '')"
        for name in numeric
    )
    # The builder takes a code's first six characters as the stock: they must be digits.
    wrong_code = "NOT regexp_matches(trim(CAST(ukey AS VARCHAR)), '^[0-9]{6}')"
    if types["ukey"] in _INTEGER_TYPES and errors == "raise":
        raise ValueError(
            f"{path}: ukey is a column of integers, so codes have lost their leading zeros and exchange "
            "(1 for 000001.XSHE); write them as text such as '000001.XSHE'"
        )
    faulty = f"({wrong_code}){f' OR {unreadable}' if unreadable else ''}"
    count = con.execute(f"SELECT count(*) FROM {scan} WHERE {faulty}").fetchone()[0]
    if count:
        shown = con.execute(
            f"SELECT {', '.join(['ukey', 'date'] + numeric)} FROM {scan} WHERE {faulty} LIMIT 3"
        ).fetchall()
        rows = "; ".join(", ".join(str(value) for value in row) for row in shown)
        what = f"{count} row(s) whose ukey does not begin with six digits or whose {'/'.join(numeric) or 'value'} is not a number"
        if errors == "raise":
            raise ValueError(f"{path}: {what} (first: {rows}); fix them, or pass errors='drop' to leave them out")
        dropped.append(f"{path}: dropped {what} (first: {rows})")
        scan = f"(SELECT * FROM {scan} WHERE NOT ({faulty}))"
    select = f"SELECT {', '.join(columns)} FROM {scan}"
    bad = con.execute(
        f"SELECT count(*) FILTER (WHERE date IS NULL), count(*) FILTER (WHERE ukey IS NULL OR ukey = '') "
        f"FROM ({select})"
    ).fetchone()
    if bad[0]:
        raise ValueError(f"{path}: {bad[0]} row(s) have a date that is neither YYYY-MM-DD nor YYYYMMDD")
    if bad[1]:
        raise ValueError(f"{path}: {bad[1]} row(s) have no ukey")
    return select


def load_files(
    database: PathLike,
    factors: PathLike | Iterable[PathLike] | None = None,
    index_daily: PathLike | Iterable[PathLike] | None = None,
    *,
    errors: str = "raise",
) -> dict[str, int]:
    """Load a user's own parquet or CSV files into ``database`` (created when missing).

    ``factors``: files in long form with columns ukey, date, factor, value (dates as
    YYYY-MM-DD or YYYYMMDD; codes as text such as "600000.XSHG"; an empty value is a
    missing value and is skipped).
    ``index_daily``: files with columns ukey, date and close and/or daily_return.
    A row replaces a stored row with the same (ukey, date, factor) or (ukey, date);
    within the new files the last row of a key wins. Everything is loaded in one
    transaction: a failing file leaves the database as it was. Returns the number of
    rows loaded per table.

    A ``ukey`` column of integers (codes that lost their leading zeros) and rows
    whose code does not begin with six digits or whose number cannot be read (such
    as "1,5") are a ValueError with their count and first rows; with
    ``errors="drop"`` such rows are left out and a ``TessaryWarning`` per file says
    how many and which.
    """
    if errors not in ("raise", "drop"):
        raise ValueError(f"errors must be 'raise' or 'drop', not {errors!r}")
    factor_paths = _as_paths(factors, "factor")
    index_paths = _as_paths(index_daily, "index")
    path = db.create_database(database)
    con = db.connect(str(path))
    counts = {FACTOR_TABLE: 0, INDEX_TABLE: 0}
    dropped: list[str] = []
    try:
        con.execute("BEGIN TRANSACTION")
        try:
            jobs = (
                (FACTOR_TABLE, factor_paths, _FACTOR_REQUIRED, (), ("ukey", "date", "factor")),
                (INDEX_TABLE, index_paths, _INDEX_REQUIRED, ("close", "daily_return"), ("ukey", "date")),
            )
            for table, paths, required, optional, key in jobs:
                if not paths:
                    continue
                selects = [_source(con, p, required, optional, errors, dropped) for p in paths]
                columns = ", ".join(required + optional)
                keys = ", ".join(key)
                value_filter = " WHERE value IS NOT NULL" if table == FACTOR_TABLE else ""
                con.execute(f"CREATE TEMP TABLE raw AS SELECT * FROM ({selects[0]}) LIMIT 0")
                for select in selects:  # appended file by file: rowid follows the files' row order
                    con.execute(f"INSERT INTO raw {select}")
                con.execute(
                    f"CREATE TEMP TABLE staged AS SELECT {columns} FROM raw{value_filter} "
                    f"QUALIFY row_number() OVER (PARTITION BY {keys} ORDER BY rowid DESC) = 1"
                )
                con.execute("DROP TABLE raw")
                match = " AND ".join(f"t.{k} = s.{k}" for k in key)
                con.execute(f"DELETE FROM {table} t WHERE EXISTS (SELECT 1 FROM staged s WHERE {match})")
                con.execute(f"INSERT INTO {table} SELECT {columns} FROM staged ORDER BY {keys}")
                counts[table] = con.execute("SELECT count(*) FROM staged").fetchone()[0]
                con.execute("DROP TABLE staged")
            con.execute("COMMIT")
        except BaseException:
            con.execute("ROLLBACK")
            raise
    finally:
        con.close()
    for text in dropped:
        warnings.warn(text, TessaryWarning, stacklevel=2)
    return counts
