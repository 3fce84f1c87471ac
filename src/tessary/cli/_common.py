"""What the subcommands share: the program name, the one-line user error, argument
types, date options, the reading of a table file and the printing of the front door's
warnings."""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import pandas as pd

from tessary.store.dates import date_argument

PROG = "tessary-backtest"
#: The names of the files a table is read from: parquet, or CSV (plain, gzipped or .txt).
TABLE_SUFFIXES = (".parquet", ".pq", ".csv", ".csv.gz", ".txt")
#: The column that holds the dates of a table, the first one found of these.
DATE_COLUMNS = ("date", "DataDate", "trade_date")


class UserError(Exception):
    """A mistake of the user: reported in one line, exit status 2."""


def date_arg(value: str | None, name: str) -> str | None:
    """A date option as "YYYYMMDD" (None stays None); a UserError naming the option otherwise."""
    try:
        return date_argument(value, name)
    except ValueError as exc:
        raise UserError(str(exc)) from None


def output_dir(text: str | os.PathLike, option: str) -> Path:
    """The directory an output option names, resolved; a UserError unless it is (or can
    become) a directory this process can write into. Nothing is left behind: a missing
    directory is only probed by creating and removing a scratch directory in its nearest
    existing ancestor (file permissions alone do not tell, e.g. for root or under /proc)."""
    out = Path(text).expanduser().resolve()
    probe_in = out
    while not probe_in.exists() and probe_in != probe_in.parent:
        probe_in = probe_in.parent
    if not probe_in.is_dir():
        raise UserError(f"{option} must be a directory: {probe_in} is a file")
    try:
        os.rmdir(tempfile.mkdtemp(prefix=".tessary-probe-", dir=probe_in))
    except OSError as exc:
        raise UserError(f"{option}: cannot write into {probe_in}: {exc.strerror or exc}") from None
    return out


def first_line(exc: BaseException) -> str:
    text = str(exc)
    return text.splitlines()[0] if text else type(exc).__name__


def read_table(path: str | os.PathLike, what: str) -> tuple[Path, pd.DataFrame]:
    """The path (user directory expanded) and the contents of a parquet or CSV file, a
    CSV's cells as text; a UserError naming the ``what`` file when it is missing, of
    another kind or unreadable."""
    path = Path(path).expanduser()
    if not path.is_file():
        raise UserError(f"{what} file not found: {path}")
    name = path.name.lower()
    if not name.endswith(TABLE_SUFFIXES):
        raise UserError(f"the {what} file must be .parquet or .csv: {path}")
    try:
        frame = pd.read_parquet(path) if name.endswith((".parquet", ".pq")) else pd.read_csv(path, dtype=str)
    except Exception as exc:
        raise UserError(f"cannot read the {what} file {path}: {first_line(exc)}") from None
    return path, frame


def dated_rows(frame: pd.DataFrame, path: Path, what: str) -> pd.DataFrame:
    """``frame`` indexed by its date column, or, when it has none and only a default
    index, by its first column (a UserError unless another column follows it)."""
    date_column = next((c for c in DATE_COLUMNS if c in frame.columns), None)
    if date_column is not None:
        return frame.set_index(date_column)
    if isinstance(frame.index, pd.RangeIndex):
        if frame.shape[1] < 2:
            raise UserError(f"the {what} file {path} needs a date column and at least one stock column")
        return frame.set_index(frame.columns[0])
    return frame


@contextmanager
def printed_warnings() -> Iterator[None]:
    """Prints the front door's warnings raised in the block as "warning:" lines on standard
    error (other warnings go on as they were); its ValueErrors become user errors."""
    from tessary.exceptions import TessaryWarning

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", TessaryWarning)
        try:
            yield
        except ValueError as exc:  # the front door's messages about the weights and the store
            raise UserError(str(exc)) from None
    for warning in caught:
        if issubclass(warning.category, TessaryWarning):
            print(f"{PROG}: warning: {warning.message}", file=sys.stderr)
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)


def int_at_least(minimum: int, wording: str):
    """An argparse type: an integer of at least ``minimum``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{wording}: {value}")
        return value

    return parse


positive_int = int_at_least(1, "must be at least 1")
non_negative_int = int_at_least(0, "must not be negative")


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be positive: {text}")
    return value


_SIZE_UNITS = {"": 1, "K": 2**10, "M": 2**20, "G": 2**30, "T": 2**40}


def byte_size(text: str) -> int:
    """A number of bytes, optionally with a binary unit: 4096, 512M, 1.5G."""
    raw = text.strip().upper().removesuffix("B").removesuffix("I")
    unit = raw[-1:] if raw[-1:] in _SIZE_UNITS else ""
    try:
        value = float(raw[: len(raw) - len(unit)]) * _SIZE_UNITS[unit]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (bytes, or with K, M, G or T)") from None
    if not math.isfinite(value) or value < 1:
        raise argparse.ArgumentTypeError(f"must be at least one byte: {text}")
    return int(value)


def float_up_to(maximum: float):
    """An argparse type: a positive number of at most ``maximum``."""

    def parse(text: str) -> float:
        value = positive_float(text)
        if value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum:g}: {text}")
        return value

    return parse


def chart_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--benchmark", default="000852", help="primary benchmark: 000852 (default), 000300 or 000905")
    p.add_argument("--kind", choices=("large", "long"), default="large", help="chart layout (default: large)")
    p.add_argument("--title", default=None, help="chart title (default: the strategy name)")
