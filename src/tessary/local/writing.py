"""A new database file written from in-memory date x stock matrices and index bars,
built under a temporary name and renamed into place."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Mapping
from pathlib import Path

import numpy as np
import pandas as pd

from tessary.local import database as db
from tessary.local.database import FACTOR_TABLE, INDEX_TABLE, PathLike


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
        con = db.connect(str(tmp))
        try:
            for statement in db.SCHEMA:
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
