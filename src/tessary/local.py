"""A data-service client backed by a local DuckDB file.

The database holds two tables:

``factor_values`` (ukey VARCHAR, date DATE, factor VARCHAR, value DOUBLE)
    one row per stock, day and factor, in long form. Stock codes keep their
    exchange suffix ("600000.XSHG", "000001.XSHE"). A missing value is simply a
    missing row.
``index_daily`` (ukey VARCHAR, date DATE, close DOUBLE, daily_return DOUBLE)
    one row per index and day ("000300.XSHG").

:class:`LocalDataClient` answers the two queries the prepared-data builder makes
(``get_factors`` and ``get_index_daily``) from such a file, and is registered with
``tessary.singleton.set_instance(LocalDataClient(path))``. :func:`load_files`
fills a database from a user's parquet or CSV files in the same long form, and
:func:`write_database` writes one from in-memory date x stock matrices.
"""

from __future__ import annotations

import datetime as _dt
import os
import re
import tempfile
import warnings
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any, Union

import numpy as np
import pandas as pd

from tessary.exceptions import NetworkError, TessaryWarning

__all__ = [
    "FACTOR_TABLE",
    "INDEX_TABLE",
    "FACTOR_COLUMNS",
    "INDEX_COLUMNS",
    "LocalDataClient",
    "create_database",
    "load_files",
    "write_database",
]

PathLike = Union[str, Path]

FACTOR_TABLE = "factor_values"
INDEX_TABLE = "index_daily"
FACTOR_COLUMNS = ("ukey", "date", "factor", "value")
INDEX_COLUMNS = ("ukey", "date", "close", "daily_return")

_SCHEMA = (
    f"CREATE TABLE IF NOT EXISTS {FACTOR_TABLE} (ukey VARCHAR, date DATE, factor VARCHAR, value DOUBLE)",
    f"CREATE TABLE IF NOT EXISTS {INDEX_TABLE} (ukey VARCHAR, date DATE, close DOUBLE, daily_return DOUBLE)",
)

_DIGITS8 = re.compile(r"^\d{8}$")
_DASHED = re.compile(r"^(\d{4})[-/](\d{1,2})[-/](\d{1,2})$")


def _duckdb():
    try:
        import duckdb
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise ImportError("the local data service needs duckdb: pip install 'tessary[cli]'") from exc
    return duckdb


def _connect(path: str, read_only: bool = False):
    """A DuckDB connection that prints nothing (no progress bar of its own)."""
    con = _duckdb().connect(path, read_only=read_only)
    con.execute("SET enable_progress_bar = false")
    return con


def _query_date(value: Any, name: str) -> _dt.date | None:
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


def _name_list(value: Any, name: str) -> list[str]:
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)) and all(isinstance(item, str) for item in value):
        return list(value)
    raise TypeError(f"{name} must be a str or a list of str, not {type(value).__name__}")


def _date_clause(start: _dt.date | None, end: _dt.date | None) -> tuple[str, list[Any]]:
    clause, params = "", []
    if start is not None:
        clause += " AND date >= ?"
        params.append(start)
    if end is not None:
        clause += " AND date <= ?"
        params.append(end)
    return clause, params


class LocalDataClient:
    """Data-service client reading a DuckDB file (see the module docstring for its tables).

    Each query opens the file read-only for its own duration, so the client holds no
    lock on the file between calls and always sees its current contents. A file
    that is missing, locked by a writer, damaged or lacks a table raises
    :class:`tessary.exceptions.NetworkError`, the client failure the builder knows.
    """

    def __init__(self, path: PathLike) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or a Path, not {type(path).__name__}")
        self.path = Path(path).expanduser()

    def __repr__(self) -> str:
        return f"LocalDataClient({str(self.path)!r})"

    def _fetch(self, sql: str, params: list[Any]) -> pd.DataFrame:
        duckdb = _duckdb()
        if not self.path.is_file():
            raise NetworkError(f"local database not found: {self.path}")
        try:
            con = _connect(str(self.path), read_only=True)
        except (duckdb.Error, OSError) as exc:
            raise NetworkError(f"cannot open local database {self.path}: {exc}") from exc
        try:
            # Scans keep the order in which rows were stored, so answers are deterministic.
            table = con.sql(sql, params=params).to_arrow_table()
        except (duckdb.Error, OSError) as exc:
            raise NetworkError(f"cannot read local database {self.path}: {exc}") from exc
        finally:
            con.close()
        return table.to_pandas()

    def get_factors(self, factor: str | list[str], start_date: Any = None, end_date: Any = None) -> pd.DataFrame:
        """Values of one factor (a str) or several (a list) between two dates, inclusive.

        One SQL query per call. The answer is narrow: columns ukey (suffixed stock
        code), date (datetime64), factor and value, in the order the rows were stored.
        A date is None (unbounded), "YYYYMMDD", "YYYY-MM-DD", a date or a Timestamp.
        """
        names = _name_list(factor, "factor")
        start = _query_date(start_date, "start_date")
        end = _query_date(end_date, "end_date")
        if not names:
            return _empty_frame(FACTOR_COLUMNS)
        clause, params = _date_clause(start, end)
        marks = ", ".join("?" for _ in names)
        sql = (
            f"SELECT ukey, CAST(date AS TIMESTAMP) AS date, factor, value FROM {FACTOR_TABLE} "
            f"WHERE factor IN ({marks}){clause}"
        )
        return self._fetch(sql, list(dict.fromkeys(names)) + params)

    def get_index_daily(
        self, ukeys: str | list[str] | None = None, start_date: Any = None, end_date: Any = None
    ) -> pd.DataFrame:
        """Daily bars of the indices ``ukeys`` (suffixed codes; None for all) between two
        dates, inclusive: columns ukey, date (datetime64), close, daily_return, sorted
        by index and date. One SQL query per call.

        Only fields the data has are returned: where a bar has no stored daily return,
        it is derived from ``close`` (close over the index's previous stored close,
        minus 1, looked up before the date range too), and a column without any value
        in the answer (``close`` or ``daily_return``) is left out, so that a caller
        falling back from one to the other is not handed a column of NULLs.
        """
        codes = None if ukeys is None else _name_list(ukeys, "ukeys")
        start = _query_date(start_date, "start_date")
        end = _query_date(end_date, "end_date")
        if codes is not None and not codes:
            return _empty_frame(INDEX_COLUMNS)
        clause, params = _date_clause(start, end)
        where = "TRUE"
        if codes is not None:
            where = f"ukey IN ({', '.join('?' for _ in codes)})"
            params = list(dict.fromkeys(codes)) + params
        # The previous close is taken over all stored days of the index, before the
        # date filter, so the first day of the range has its return as well.
        sql = (
            f"SELECT ukey, CAST(date AS TIMESTAMP) AS date, close, "
            f"COALESCE(daily_return, close / previous_close - 1) AS daily_return FROM ("
            f"SELECT ukey, date, close, daily_return, "
            f"lag(close) OVER (PARTITION BY ukey ORDER BY date) AS previous_close "
            f"FROM {INDEX_TABLE} WHERE {where}) WHERE TRUE{clause} ORDER BY ukey, date"
        )
        frame = self._fetch(sql, params)
        if len(frame):
            empty = [name for name in ("close", "daily_return") if frame[name].isna().all()]
            frame = frame.drop(columns=empty)
        return frame

    def factor_days(self, names: list[str], start_date: Any = None, end_date: Any = None) -> dict[str, int]:
        """The number of dates on which each factor of ``names`` has a stored value,
        between two dates, inclusive (0 for a factor without any), in one query."""
        names = _name_list(names, "names")
        if not names:
            return {}
        clause, params = _date_clause(_query_date(start_date, "start_date"), _query_date(end_date, "end_date"))
        marks = ", ".join("?" for _ in names)
        frame = self._fetch(
            f"SELECT factor, count(DISTINCT date) AS n FROM {FACTOR_TABLE} WHERE factor IN ({marks}){clause} "
            "GROUP BY factor",
            list(dict.fromkeys(names)) + params,
        )
        counts = dict(zip(frame["factor"].astype(str), frame["n"].astype(int)))
        return {name: int(counts.get(name, 0)) for name in names}

    def digest_kind(self) -> str:
        """What the digests of :meth:`date_digests` are made with: digests of another
        kind are not comparable (DuckDB's hash may change between its versions)."""
        return "duckdb-hash " + ".".join(_duckdb().__version__.split(".")[:2])

    def date_digests(
        self, factors: list[str], index_codes: list[str], start_date: Any = None, end_date: Any = None
    ) -> dict[str, str]:
        """Per date ("YYYYMMDD"), between two dates inclusive, a digest of every stored row
        of the factors ``factors`` and of the index bars of ``index_codes``: a changed,
        added or removed row changes the digest of its date. One aggregate query; the
        digest does not depend on the order in which rows are stored."""
        factors, index_codes = _name_list(factors, "factors"), _name_list(index_codes, "index_codes")
        clause, params = _date_clause(_query_date(start_date, "start_date"), _query_date(end_date, "end_date"))
        sources, binds = [], []
        if factors:
            sources.append(
                f"SELECT date, hash('f', ukey, factor, value) AS h FROM {FACTOR_TABLE} "
                f"WHERE factor IN ({', '.join('?' for _ in factors)}){clause}"
            )
            binds += list(dict.fromkeys(factors)) + params
        if index_codes:
            sources.append(
                f"SELECT date, hash('i', ukey, close, daily_return) AS h FROM {INDEX_TABLE} "
                f"WHERE ukey IN ({', '.join('?' for _ in index_codes)}){clause}"
            )
            binds += list(dict.fromkeys(index_codes)) + params
        if not sources:
            return {}
        # The count, the xor and the sum of the row hashes together: order-independent,
        # and a row stored twice does not cancel out as it would in the xor alone.
        frame = self._fetch(
            f"SELECT strftime(date, '%Y%m%d') AS day, printf('%016x', hash(count(*), bit_xor(h), sum(h))) AS digest "
            f"FROM ({' UNION ALL '.join(sources)}) GROUP BY date ORDER BY date",
            binds,
        )
        return dict(zip(frame["day"].astype(str), frame["digest"].astype(str)))

    def stock_codes(self, start_date: Any = None, end_date: Any = None) -> list[str]:
        """The distinct stock codes (``ukey``) of the factor table between two dates, sorted."""
        clause, params = _date_clause(_query_date(start_date, "start_date"), _query_date(end_date, "end_date"))
        frame = self._fetch(f"SELECT DISTINCT ukey FROM {FACTOR_TABLE} WHERE TRUE{clause} ORDER BY ukey", params)
        return [str(code) for code in frame["ukey"]]

    def factor_names(self) -> list[str]:
        """The distinct factor names the database holds, sorted."""
        frame = self._fetch(f"SELECT DISTINCT factor FROM {FACTOR_TABLE} ORDER BY factor", [])
        return [str(name) for name in frame["factor"]]

    def date_range(self) -> tuple[str, str] | None:
        """First and last date of the factor table as "YYYYMMDD", or None when it is empty."""
        frame = self._fetch(
            f"SELECT strftime(min(date), '%Y%m%d') AS first, strftime(max(date), '%Y%m%d') AS last FROM {FACTOR_TABLE}",
            [],
        )
        first, last = frame["first"].iloc[0], frame["last"].iloc[0]
        if pd.isna(first):
            return None
        return str(first), str(last)


def _empty_frame(columns: Iterable[str]) -> pd.DataFrame:
    kinds = {"ukey": "str", "factor": "str", "date": "datetime64[us]"}
    return pd.DataFrame({name: pd.Series(dtype=kinds.get(name, "float64")) for name in columns})


# --------------------------------------------------------------------------- writing


def create_database(path: PathLike) -> Path:
    """Create the database file with both (empty) tables; an existing file keeps its data."""
    path = Path(path).expanduser()
    path.parent.mkdir(parents=True, exist_ok=True)
    con = _connect(str(path))
    try:
        for statement in _SCHEMA:
            con.execute(statement)
    finally:
        con.close()
    return path


def _factor_arrow(name: str, matrix: pd.DataFrame):
    """The finite cells of a date x stock matrix as an arrow table in long form,
    ordered by date then stock."""
    import pyarrow as pa

    values = matrix.to_numpy(dtype=np.float64, na_value=np.nan)
    rows, cols = np.nonzero(np.isfinite(values))
    dates = pd.DatetimeIndex(pd.to_datetime(matrix.index)).to_numpy(dtype="datetime64[D]")
    codes = pa.array([str(code) for code in matrix.columns], type=pa.string())
    return pa.table(
        {
            "ukey": pa.DictionaryArray.from_arrays(pa.array(cols.astype(np.int32)), codes),
            "date": pa.array(dates[rows], type=pa.date32()),
            "factor": pa.DictionaryArray.from_arrays(
                pa.array(np.zeros(len(rows), dtype=np.int32)), pa.array([name], type=pa.string())
            ),
            "value": pa.array(values[rows, cols]),
        }
    )


def _check_index_frame(frame: pd.DataFrame) -> pd.DataFrame:
    missing = [name for name in ("ukey", "date") if name not in frame.columns]
    if missing or not ({"close", "daily_return"} & set(frame.columns)):
        raise ValueError("index bars need columns ukey, date and close and/or daily_return")
    out = pd.DataFrame(
        {
            "ukey": frame["ukey"].astype(str).to_numpy(),
            "date": pd.to_datetime(frame["date"]).dt.date.to_numpy(),
            "close": pd.to_numeric(frame["close"]) if "close" in frame else np.nan,
            "daily_return": pd.to_numeric(frame["daily_return"]) if "daily_return" in frame else np.nan,
        }
    )
    return out.sort_values(["ukey", "date"], kind="stable").reset_index(drop=True)


def write_database(
    path: PathLike,
    factors: Mapping[str, pd.DataFrame],
    index_daily: pd.DataFrame | None = None,
    *,
    overwrite: bool = False,
    progress: Callable[[str], None] | None = None,
) -> Path:
    """Write a new database file from date x stock matrices and index bars.

    ``factors`` maps each factor name to a matrix (dates as index, suffixed stock
    codes as columns); only its finite cells become rows. ``index_daily`` has the
    columns of the ``index_daily`` table. The file is built under a temporary name
    beside ``path`` and renamed into place when complete, so an existing file is
    never left half-written; it is replaced only with ``overwrite=True``.
    ``progress`` is called with each factor name once it is written.
    """
    path = Path(path).expanduser()
    if path.exists() and not overwrite:
        raise FileExistsError(f"database already exists: {path}")
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp_name = tempfile.mkstemp(prefix=path.name + ".", suffix=".partial", dir=path.parent)
    os.close(fd)
    os.unlink(tmp_name)  # DuckDB creates the file itself
    tmp = Path(tmp_name)
    try:
        con = _connect(str(tmp))
        try:
            for statement in _SCHEMA:
                con.execute(statement)
            for name, matrix in factors.items():
                con.register("new_rows", _factor_arrow(str(name), matrix))
                con.execute(
                    f"INSERT INTO {FACTOR_TABLE} SELECT CAST(ukey AS VARCHAR), date, "
                    "CAST(factor AS VARCHAR), value FROM new_rows"
                )
                con.unregister("new_rows")
                if progress is not None:
                    progress(str(name))
            if index_daily is not None and len(index_daily):
                con.register("new_bars", _check_index_frame(index_daily))
                con.execute(f"INSERT INTO {INDEX_TABLE} SELECT ukey, date, close, daily_return FROM new_bars")
                con.unregister("new_bars")
            con.execute("CHECKPOINT")
        finally:
            con.close()
        os.replace(tmp, path)
    except BaseException:
        for leftover in (tmp, Path(str(tmp) + ".wal")):
            leftover.unlink(missing_ok=True)
        raise
    return path


# --------------------------------------------------------------------------- loading files

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
    path = create_database(database)
    con = _connect(str(path))
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
