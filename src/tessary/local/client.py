"""The client the prepared-data builder queries: each query opens the DuckDB file
read-only for its own duration."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import pandas as pd

from tessary.exceptions import NetworkError
from tessary.local import database as db
from tessary.local.database import FACTOR_COLUMNS, FACTOR_TABLE, INDEX_COLUMNS, INDEX_TABLE, PathLike


class LocalDataClient:
    """Data-service client reading a DuckDB file (:mod:`tessary.local` describes its tables).

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
        duckdb = db.duckdb_module()
        if not self.path.is_file():
            raise NetworkError(f"local database not found: {self.path}")
        try:
            con = db.connect(str(self.path), read_only=True)
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
        names = db.name_list(factor, "factor")
        clause, params = db.between(start_date, end_date)
        if not names:
            return db.empty_frame(FACTOR_COLUMNS)
        marks = db.placeholders(names)
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
        codes = None if ukeys is None else db.name_list(ukeys, "ukeys")
        clause, params = db.between(start_date, end_date)
        if codes is not None and not codes:
            return db.empty_frame(INDEX_COLUMNS)
        where = "TRUE"
        if codes is not None:
            where = f"ukey IN ({db.placeholders(codes)})"
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
        names = db.name_list(names, "names")
        if not names:
            return {}
        clause, params = db.between(start_date, end_date)
        marks = db.placeholders(names)
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
        return "duckdb-hash " + ".".join(db.duckdb_module().__version__.split(".")[:2])

    def date_digests(
        self, factors: list[str], index_codes: list[str], start_date: Any = None, end_date: Any = None
    ) -> dict[str, str]:
        """Per date ("YYYYMMDD"), between two dates inclusive, a digest of every stored row
        of the factors ``factors`` and of the index bars of ``index_codes``: a changed,
        added or removed row changes the digest of its date. One aggregate query; the
        digest does not depend on the order in which rows are stored."""
        factors, index_codes = db.name_list(factors, "factors"), db.name_list(index_codes, "index_codes")
        clause, params = db.between(start_date, end_date)
        sources, binds = [], []
        if factors:
            sources.append(
                f"SELECT date, hash('f', ukey, factor, value) AS h FROM {FACTOR_TABLE} "
                f"WHERE factor IN ({db.placeholders(factors)}){clause}"
            )
            binds += list(dict.fromkeys(factors)) + params
        if index_codes:
            sources.append(
                f"SELECT date, hash('i', ukey, close, daily_return) AS h FROM {INDEX_TABLE} "
                f"WHERE ukey IN ({db.placeholders(index_codes)}){clause}"
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
        clause, params = db.between(start_date, end_date)
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
