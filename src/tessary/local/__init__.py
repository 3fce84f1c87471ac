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

The package: ``database`` (the tables, connections and the SQL pieces every query
shares), ``client`` (the client class), ``writing`` (a new database from matrices) and
``loading`` (a user's files into a database).
"""

from __future__ import annotations

from tessary.local.client import LocalDataClient
from tessary.local.database import FACTOR_COLUMNS, FACTOR_TABLE, INDEX_COLUMNS, INDEX_TABLE, create_database
from tessary.local.loading import load_files
from tessary.local.writing import write_database

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
