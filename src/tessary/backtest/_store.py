"""Binary prepared-data store: base class and the helpers shared with the builder."""

# Layout of a store directory
# ---------------------------
#   metadata.pkl   the pickled metadata dict: the only file that says what the store holds;
#                  replacing it (write to a temporary file, fsync, rename) commits a change
#   manifest.json  a readable summary of the metadata, rewritten after it
#   writer.lock    flock-ed by the one writer at a time; a second writer is refused
#   data/          one log file per dataset, one .npy file per benchmark series, and the
#                  date and stock-code axes as .npy string arrays named by the SHA-256 of
#                  their content (identical axes are stored once; a load checks the name)
#
# A dataset log file ("<key>-<id>.log") starts with a header page naming its dataset key
# and file id, then holds extents. An extent is a run of consecutive date rows, row-major,
# each row `capacity` cells wide (the stock columns, then spare columns already holding the
# dataset's fill value: NaN, the trading-blocking flag, or 0). The metadata records per
# dataset its dtype, shape, capacity, axes and the list of extents (first row, row count,
# byte offset, SHA-256), which together cover rows 0..n-1 in order.
#
# An update never writes where a committed version lives: the rows from its first date on
# (replaced tail rows and new days) go into a new extent appended to the log file past its
# committed end, and a new stock code takes a spare column (its earlier rows already read
# as fill). So an update writes what it touches and a frame mapped by an earlier load never
# changes. Each extent starts on a page boundary, preceded by a copy of the rest of the
# page before its first row; that lets a load map the extents side by side into one
# contiguous read-only array (mmap with MAP_FIXED), so a dataset is still one memory-mapped
# matrix, whatever the number of extents. Small trailing extents are merged into the new
# one (at most _MERGE_ROWS rows) so that the count stays low; `compact()` rewrites every
# dataset as one extent in a fresh file. A dataset that runs out of spare columns, and one
# of a store written by an older version (one .npy file per dataset), is rewritten whole
# into a fresh log file by the update that needs it.
#
# Crash safety: new files and extents are written and fsynced before the metadata rename;
# killed before it, the store is the old version (bytes past a log file's committed end
# belong to nobody; the next writer appends after them); after it, the new one. Files
# no longer referenced are unlinked after the commit, never truncated or rewritten: an
# earlier load keeps its mapping.
#
# Integrity: every load checks the metadata's size and shape (a pickle that would blow up
# in memory is refused), that each data path is a regular file, each log header names the
# dataset, file sizes cover the extents, and axes are ascending, unique and match their
# checksum. `verify()` also reads every byte and checks every extent's and file's checksum.

from __future__ import annotations

import contextlib
import datetime as _dt
import hashlib
import io
import json
import os
import pickle
import re
import secrets
from collections.abc import Callable, Mapping
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import IO, Any

import numpy as np
import pandas as pd

from tessary.backtest._store_files import (
    COPY_CHUNK_BYTES,
    HEADER_BYTES,
    PAGE,
    LogWriter,
    StoreLockedError,
    copy_rows,
    extent_checksum,
    log_header,
    map_extents,
    open_regular,
    page_ceil,
    page_floor,
    read_log_header,
    regular_file,
    writer_lock,
)

__all__ = [
    "normalize_yyyymmdd",
    "clean_matrix",
    "component_dataset_key",
    "BinaryPreparedDataStoreBase",
    "StoreLockedError",
]

_DIGITS8 = re.compile(r"^\d{8}$")
_SEPARATED = re.compile(r"^(\d{4})[-/](\d{1,2})[-/](\d{1,2})$")


def normalize_yyyymmdd(value: object) -> str | None:
    """A date as an eight-digit "YYYYMMDD" string; None gives None.

    Accepts "YYYYMMDD", "YYYY-MM-DD", "YYYY/MM/DD" (surrounding blanks ignored),
    date, datetime and Timestamp objects and yyyymmdd integers. Anything else, or a
    day that does not exist, raises ValueError naming the value.
    """
    if value is None:
        return None
    day: _dt.date | None = None
    try:
        if isinstance(value, (_dt.date, pd.Timestamp)):  # datetime and Timestamp are dates too
            if value is pd.NaT:
                raise ValueError
            day = _dt.date(value.year, value.month, value.day)
        elif isinstance(value, (int, np.integer)) and not isinstance(value, bool):
            text = str(int(value))
            if _DIGITS8.match(text):
                day = _dt.date(int(text[:4]), int(text[4:6]), int(text[6:]))
        elif isinstance(value, str):
            text = value.strip()
            if _DIGITS8.match(text):
                day = _dt.date(int(text[:4]), int(text[4:6]), int(text[6:]))
            else:
                m = _SEPARATED.match(text)
                if m:
                    day = _dt.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
    except ValueError:
        day = None
    if day is None:
        raise ValueError(f"not a date in YYYYMMDD, YYYY-MM-DD or YYYY/MM/DD form: {value!r}")
    return f"{day.year:04d}{day.month:02d}{day.day:02d}"


def clean_matrix(matrix: pd.DataFrame) -> pd.DataFrame:
    """The stored form of a freshly pivoted factor matrix: float64 values with +-inf
    as NaN, dates ascending, stock codes ascending, axes without names."""
    values = matrix.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    values[np.isinf(values)] = np.nan
    index = pd.Index(matrix.index).rename(None)
    columns = pd.Index(matrix.columns).rename(None)
    out = pd.DataFrame(values, index=index, columns=columns, copy=False)
    if not out.index.is_monotonic_increasing:
        out = out.sort_index()
    if not out.columns.is_monotonic_increasing:
        out = out.sort_index(axis=1)
    return out


def component_dataset_key(name: object) -> str:
    """Dataset key of the constituent mask of component factor ``name``.

    "component__" + the name's text: distinct names give distinct keys, and none of
    them equals a base dataset key (no base key starts with "component__").
    """
    return "component__" + str(name)



_STORE_FORMAT = 2  # 1: one .npy file per dataset (still read; converted by the first update)
_LAYOUT = "log"
_MERGE_ROWS = 32  # trailing extents are merged into a new one while it stays this short
_MAX_EXTENTS = 64  # a dataset with this many extents is rewritten whole by its next update
_METADATA_MAX_BYTES = 64 << 20
_METADATA_MAX_NODES = 2_000_000
_METADATA_MAX_DEPTH = 100
_SMALL_FILE_MAX_BYTES = 1 << 30
_SHAPE_CHECKED: set = set()  # metadata files (path, device, inode, size, times) found sane
#: Fill of the boolean datasets where a stock has no data: the value that blocks trading.
BOOL_FILL = {"can_buy_stock": False, "cant_sell_stock": True}
_DATA_DIR = "data"
_TMP_MARK = ".tmp-"
_WRITE_CHUNK_BYTES = 16 << 20
_NUMERIC_INFERRED = frozenset({"boolean", "integer", "floating", "mixed-integer-float", "empty"})
_PLAIN_TYPES = "dict, list, tuple, str, bytes, int, float, bool, None"


class _PlainUnpickler(pickle.Unpickler):
    """Unpickler of plain data only.

    Containers, text, bytes, numbers, booleans and None are rebuilt by the pickle
    machine itself; a reference to any class or function, the only way a pickle can
    run code, is refused before it is resolved.
    """

    def __init__(self, file: IO[bytes], source: object) -> None:
        super().__init__(file)
        self._source = source

    def find_class(self, module: str, name: str) -> Any:
        raise pickle.UnpicklingError(
            f"{self._source} refers to {module}.{name}; only plain data ({_PLAIN_TYPES}) is accepted"
        )

    def persistent_load(self, pid: Any) -> Any:
        raise pickle.UnpicklingError(f"{self._source} holds a persistent reference; only plain data is accepted")


def _plain_pickle(obj: object, what: str) -> bytes:
    """`obj` pickled with the highest protocol, after checking that the restricted
    unpickler reads it back: anything the store could not load again is refused here."""
    try:
        blob = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
        _PlainUnpickler(io.BytesIO(blob), what).load()
    except (pickle.PickleError, TypeError, AttributeError) as exc:
        raise TypeError(f"{what} can hold plain data only ({_PLAIN_TYPES}): {exc}") from None
    return blob


def _fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _write_atomically(path: Path, write: Callable[[IO[bytes]], None], sync_dir: bool = True) -> None:
    """Writes `path` through a temporary file beside it: written, flushed, fsynced,
    then renamed over `path`. Readers see the old file or the complete new one."""
    tmp = path.with_name(f".{path.name}{_TMP_MARK}{os.getpid()}-{secrets.token_hex(4)}")
    try:
        with open(tmp, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    if sync_dir:
        _fsync_dir(path.parent)


def _storage_dtype(dtype: object) -> np.dtype:
    try:
        dt = np.dtype(dtype)  # type: ignore[call-overload]
    except TypeError:
        raise ValueError(f"not a storage dtype: {dtype!r}") from None
    if dt.kind not in "biuf":
        raise ValueError(f"storage dtype {dtype!r} is not a boolean, integer or float dtype")
    return dt


def _safe_file_stem(key: str) -> str:
    stem = re.sub(r"[^A-Za-z0-9_.-]", "_", key).lstrip(".")[:80]
    return stem or "dataset"


def _fast_date_strings(labels: pd.Index) -> np.ndarray | None:
    """Text labels that are all valid "YYYYMMDD" days already, as an array; else None."""
    if not pd.api.types.is_string_dtype(labels.dtype) or labels.hasnans:
        return None
    text = pd.Series(labels, dtype="str", copy=False)
    if not text.str.fullmatch(r"\d{8}").all():
        return None
    if pd.to_datetime(text, format="%Y%m%d", errors="coerce").isna().any():
        return None
    return text.to_numpy(dtype="<U8")


def _date_axis(labels: pd.Index, what: str) -> np.ndarray:
    """Date labels as an ascending, duplicate-free array of "YYYYMMDD" strings."""
    out = _fast_date_strings(labels) if len(labels) else np.empty(0, dtype="<U8")
    if out is None:
        days = []
        for label in labels:
            try:
                day = normalize_yyyymmdd(label)
            except ValueError as exc:
                raise ValueError(f"{what}: the date axis holds {label!r}: {exc}") from None
            if day is None:
                raise ValueError(f"{what}: the date axis holds a missing date")
            days.append(day)
        out = np.array(days, dtype="<U8")
    if len(out) > 1:
        bad = np.flatnonzero(out[1:] <= out[:-1])
        if len(bad):
            i = int(bad[0])
            raise ValueError(
                f"{what}: dates must be ascending without duplicates, but {out[i + 1]} follows {out[i]}"
            )
    return out


def _code_axis(labels: pd.Index, what: str) -> np.ndarray:
    """Stock-code labels (str, unique) as a numpy string array."""
    if len(labels) == 0:
        return np.empty(0, dtype="<U1")
    if labels.dtype == object or not pd.api.types.is_string_dtype(labels.dtype) or labels.hasnans:
        for code in labels:
            if not isinstance(code, str):
                raise TypeError(f"{what}: stock codes must be str, got {code!r}")
    if not labels.is_unique:
        dup = labels[labels.duplicated()][0]
        raise ValueError(f"{what}: stock code {dup!r} occurs more than once")
    return np.asarray(labels.to_numpy(dtype=object), dtype=str)


class _AxisMemo:
    """Axes already checked during one write: a payload's frames usually carry equal
    date and code indexes, each checked and converted once."""

    def __init__(self) -> None:
        self._seen: list[tuple[Callable, pd.Index, np.ndarray]] = []

    def get(self, labels: pd.Index, convert: Callable[[pd.Index, str], np.ndarray], what: str) -> np.ndarray:
        for check, known, array in self._seen:
            if check is convert and (known is labels or (known.dtype == labels.dtype and known.equals(labels))):
                return array
        array = convert(labels, what)
        self._seen.append((convert, labels, array))
        return array


def _numeric_values(frame: pd.DataFrame, what: str) -> np.ndarray:
    """The frame's values as one numpy array of booleans or numbers: a view when all
    columns share one numpy dtype, else a float64 copy with missing values as NaN."""
    rows, cols = frame.shape
    if cols == 0:
        return np.empty((rows, 0), dtype=np.float64)
    dtypes = frame.dtypes
    kinds = set(dtypes)
    if len(kinds) == 1:
        (only,) = kinds
        if isinstance(only, np.dtype) and only.kind in "biuf":
            return frame.to_numpy()
    for i, dt in enumerate(dtypes):
        if isinstance(dt, np.dtype):
            if dt.kind in "biuf":
                continue
            if dt.kind == "O" and pd.api.types.infer_dtype(frame.iloc[:, i], skipna=True) in _NUMERIC_INFERRED:
                continue
        elif pd.api.types.is_bool_dtype(dt) or pd.api.types.is_numeric_dtype(dt):
            continue
        raise TypeError(f"{what}: column {frame.columns[i]!r} holds {dt} values, not numbers or booleans")
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _check_storable(values: np.ndarray, target: np.dtype, what: str, dates: np.ndarray, codes: np.ndarray) -> None:
    """Raises ValueError naming the first cell that storage dtype `target` cannot hold
    (a NaN or a 2 in a boolean dataset, a fraction in an integer one, ...)."""
    src = values.dtype
    bad = None
    with np.errstate(invalid="ignore", over="ignore"):
        if target.kind == "f":
            if src.kind in "iu" and src.itemsize * 8 > np.finfo(target).nmant + 1:
                converted = values.astype(target)
                lo, hi = (-(2.0**63), 2.0**63) if src.kind == "i" else (0.0, 2.0**64)
                in_range = (converted >= lo) & (converted < hi)
                bad = ~in_range | (np.where(in_range, converted, 0).astype(src) != values)
            elif src.kind == "f" and target.itemsize < src.itemsize:
                bad = np.isfinite(values) & ~np.isfinite(values.astype(target))
        elif target.kind == "b":
            if src.kind != "b":
                bad = ~((values == 0) | (values == 1))
        elif src.kind != "b" and not np.can_cast(src, target):
            info = np.iinfo(target)
            if src.kind == "f":
                bad = ~np.isfinite(values) | (values != np.floor(values)) | (values < info.min) | (values > info.max)
            else:
                bad = (values < info.min) | (values > info.max)
    if bad is None or not bad.any():
        return
    flat = int(np.flatnonzero(bad)[0])
    r, c = divmod(flat, values.shape[1])
    value = values[r, c]
    text = "NaN" if src.kind == "f" and np.isnan(value) else repr(value.item())
    raise ValueError(
        f"{what}: storage dtype {target.name} cannot hold the value {text} (date {dates[r]}, stock {codes[c]})"
    )


def _read_npy_rows(path: Path, start: int, stop: int, shape: tuple, dtype: np.dtype) -> np.ndarray:
    """Rows [start, stop) of a row-major .npy file, reading only those rows."""
    with open(path, "rb") as fh:
        version = np.lib.format.read_magic(fh)
        if version == (1, 0):
            file_shape, fortran, file_dtype = np.lib.format.read_array_header_1_0(fh)
        elif version == (2, 0):
            file_shape, fortran, file_dtype = np.lib.format.read_array_header_2_0(fh)
        else:
            raise ValueError(f"{path}: unsupported .npy version {version}")
        if tuple(file_shape) != shape or fortran or file_dtype != dtype:
            raise ValueError(f"{path}: holds {file_dtype} {tuple(file_shape)}, the metadata records {dtype} {shape}")
        row_bytes = int(np.prod(shape[1:], dtype=np.int64)) * dtype.itemsize
        out = np.empty((stop - start,) + shape[1:], dtype=dtype)
        buf = memoryview(out.reshape(-1).view(np.uint8))
        fh.seek(fh.tell() + start * row_bytes)
        got = 0
        while got < len(buf):
            n = fh.readinto(buf[got:])
            if not n:
                raise ValueError(f"{path}: file is truncated")
            got += n
    return out


def _label_name(name: object, what: str) -> object:
    """An axis or series name as kept in the metadata: a builtin str, int, float, bool
    or None (numpy scalars are converted: the metadata holds plain data only)."""
    if name is None or type(name) in (str, int, float, bool):
        return name
    if isinstance(name, str):
        return str(name)
    if isinstance(name, (int, np.integer)):
        return int(name)
    if isinstance(name, (float, np.floating)):
        return float(name)
    raise TypeError(f"{what} must be a str, int, float or None to be stored, got {name!r}")


class _MatrixPlan:
    """A validated dataset, ready to be written."""

    __slots__ = ("key", "dtype", "values", "dates", "codes", "names")

    def __init__(self, key: str, dtype: np.dtype, values: np.ndarray, dates: np.ndarray, codes: np.ndarray,
                 names: dict):
        self.key, self.dtype, self.values = key, dtype, values
        self.dates, self.codes, self.names = dates, codes, names


class _SeriesPlan:
    """A validated benchmark series, ready to be written."""

    __slots__ = ("name", "series_name", "values", "dates", "index_name")

    def __init__(self, name: str, series_name: object, values: np.ndarray, dates: np.ndarray, index_name: object):
        self.name, self.series_name, self.values, self.dates = name, series_name, values, dates
        self.index_name = index_name


def _spare_columns(cols: int) -> int:
    """Spare stock columns given to a dataset file: room for new listings without a rewrite."""
    return max(8, cols // 32)


def _fill_value(key: str, dtype: np.dtype) -> object:
    """What a cell without data holds: NaN in float datasets, for the trading flags the
    value that blocks trading, False or 0 otherwise."""
    if dtype.kind == "f":
        return np.nan
    if dtype.kind == "b":
        return BOOL_FILL.get(key, False)
    return 0


_CONTAINERS = (dict, list, tuple, set, frozenset)


def _check_metadata_shape(metadata: object, source: object) -> None:
    """Refuses metadata that is small on disk but huge once walked: a pickle can make one
    object appear many times (or inside itself), and everything that later walks the
    dict (the manifest, a copy) would then run away. Counts every visit, shared or not."""
    budget = _METADATA_MAX_NODES
    stack: list[tuple[object, int]] = [(metadata, 0)]
    while stack:
        item, depth = stack.pop()
        if depth > _METADATA_MAX_DEPTH:
            raise ValueError(f"{source}: the store metadata is nested more than {_METADATA_MAX_DEPTH} levels deep")
        if isinstance(item, dict):
            budget -= 2 * len(item)
            children = [x for pair in item.items() for x in pair if isinstance(x, _CONTAINERS)]
        else:
            budget -= len(item)  # type: ignore[arg-type]
            children = [x for x in item if isinstance(x, _CONTAINERS)]  # type: ignore[attr-defined]
        if budget < 0:
            raise ValueError(
                f"{source}: the store metadata holds more than {_METADATA_MAX_NODES:,} items once "
                "expanded (shared or self-referencing parts); refused"
            )
        stack.extend((x, depth + 1) for x in children)


def _axis_digest(labels: np.ndarray) -> str:
    return hashlib.sha256(f"{labels.dtype.str}{labels.shape}".encode() + labels.tobytes()).hexdigest()[:40]


_AXIS_NAME = re.compile(r"^axis-([0-9a-f]{40})\.npy$")


def _read_small_npy(path: Path, what: str) -> np.ndarray:
    """A whole .npy file of plain values (an axis or a benchmark series), after checking
    that it is a regular file whose size is what its header announces."""
    with regular_file(path, what) as fh:
        size = os.fstat(fh.fileno()).st_size
        if size > _SMALL_FILE_MAX_BYTES:
            raise ValueError(f"{what}: {path} is {size:,} bytes, more than an axis or series can be")
        try:
            version = np.lib.format.read_magic(fh)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(fh)
            elif version == (2, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(fh)
            else:
                raise ValueError(f"unsupported .npy version {version}")
        except ValueError as exc:
            raise ValueError(f"{what}: {path} is not a readable .npy file ({exc})") from None
        if dtype.hasobject or fortran or len(shape) != 1:
            raise ValueError(f"{what}: {path} does not hold a one-dimensional array of plain values")
        need = int(shape[0]) * dtype.itemsize
        if fh.tell() + need != size:
            raise ValueError(f"{what}: {path} holds {size - fh.tell():,} data bytes, its header announces {need:,}")
        buf = bytearray(need)
        if fh.readinto(buf) != need:
            raise ValueError(f"{what}: {path} is truncated")
    return np.frombuffer(buf, dtype=dtype)


class _AxisCache:
    """Axis arrays and their pandas indexes of one call, each file read and checked once."""

    def __init__(self, root: Path):
        self.root = root
        self._arrays: dict[str, np.ndarray] = {}
        self._indexes: dict[str, pd.Index] = {}
        self._checked: set = set()

    def path(self, rel: object, what: str) -> Path:
        if not isinstance(rel, str) or not rel:
            raise ValueError(f"{what}: malformed file reference {rel!r} in the store metadata")
        parts = rel.split("/")
        if rel.startswith("/") or any(p in ("", ".", "..") for p in parts):
            raise ValueError(f"{what}: file reference {rel!r} points outside the store")
        return self.root.joinpath(*parts)

    def array(self, rel: str, what: str) -> np.ndarray:
        if rel not in self._arrays:
            path = self.path(rel, what)
            array = _read_small_npy(path, what)
            named = _AXIS_NAME.match(path.name)
            if named and _axis_digest(array) != named.group(1):
                raise ValueError(f"{what}: the axis file {path.name} does not match its checksum (damaged)")
            self._arrays[rel] = array
        return self._arrays[rel]

    def dates(self, rel: str, what: str) -> np.ndarray:
        out = self.array(rel, what)
        if ("d", rel) not in self._checked:
            if out.dtype.kind != "U" or (len(out) and not np.all(np.char.str_len(out) == 8)):
                raise ValueError(f"{what}: the date axis {rel} does not hold YYYYMMDD dates")
            if len(out) > 1 and not bool(np.all(out[1:] > out[:-1])):
                raise ValueError(f"{what}: the date axis {rel} is not ascending without duplicates (damaged)")
            self._checked.add(("d", rel))
        return out

    def codes(self, rel: str, what: str) -> np.ndarray:
        out = self.array(rel, what)
        if ("c", rel) not in self._checked:
            if len(out) and (out.dtype.kind != "U" or len(np.unique(out)) != len(out)):
                raise ValueError(f"{what}: the stock axis {rel} holds duplicate or non-text codes (damaged)")
            self._checked.add(("c", rel))
        return out

    def index(self, rel: str, what: str, start: int = 0, stop: int | None = None, name: object = None) -> pd.Index:
        # Every caller gets its own Index object (over shared data): renaming the axis
        # of one loaded frame must not rename the others.
        if rel not in self._indexes:
            self._indexes[rel] = pd.Index(self.array(rel, what))
        out = self._indexes[rel][start:stop]
        out.name = name
        return out


def _json_keys(value: object) -> object:
    """``value`` with every mapping key JSON can not write (a tuple, say) turned into
    its text, so that the manifest never fails after the metadata was committed."""
    if isinstance(value, Mapping):
        return {
            (k if k is None or isinstance(k, (str, int, float, bool)) else str(k)): _json_keys(v)
            for k, v in value.items()
        }
    if isinstance(value, (list, tuple)):
        return [_json_keys(v) for v in value]
    return value


def _int(value: object) -> int:
    if type(value) is not int or value < 0:
        raise ValueError
    return value


class _Stored:
    """One stored dataset, opened and checked: its dtype, axes, capacity, extents and
    its rows as one read-only (rows, capacity) array (mapped, not read)."""

    def __init__(self, store: "BinaryPreparedDataStoreBase", key: str, desc: object, axes: _AxisCache,
                 mmap: bool = True):
        what = f"dataset {key!r}"
        self.key, self.what = key, what
        malformed = ValueError(f"{store.metadata_path}: {what} has a malformed descriptor")
        if not isinstance(desc, Mapping):
            raise malformed
        try:
            shape = tuple(_int(n) for n in desc["shape"])
            self.dtype = np.dtype(desc["dtype"])
            file_rel, index_rel, columns_rel = desc["file"], desc["index"], desc["columns"]
            self.legacy = desc.get("layout") != _LAYOUT
            if not self.legacy:
                self.capacity = _int(desc["capacity"])
                self.file_end = _int(desc["file_end"])
                self.file_id = str(desc["file_id"])
                self.extents = [
                    (_int(e[0]), _int(e[1]), _int(e[2]), _int(e[3]), str(e[4])) for e in desc["extents"]
                ]
        except (KeyError, TypeError, ValueError, IndexError):
            raise malformed from None
        if len(shape) != 2 or self.dtype.kind not in "biuf":
            raise malformed
        self.desc = desc
        self.rows, self.cols = shape
        self.dates = axes.dates(index_rel, what)
        self.codes = axes.codes(columns_rel, what)
        self.index_rel, self.columns_rel = index_rel, columns_rel
        if (len(self.dates), len(self.codes)) != shape:
            raise ValueError(f"{store.metadata_path}: the axes of {what} do not match its shape {shape}")
        self.path = axes.path(file_rel, what)
        self.fill = _fill_value(key, self.dtype)
        if self.legacy:
            self.capacity = self.cols
            self._open_legacy(mmap)
        else:
            self._open_log(store, mmap)

    @property
    def row_bytes(self) -> int:
        return self.capacity * self.dtype.itemsize

    def _open_legacy(self, mmap: bool) -> None:
        fd = open_regular(self.path, self.what)
        os.close(fd)
        self.array = None
        if mmap:
            mapped = np.load(self.path, mmap_mode="r", allow_pickle=False)
            if mapped.shape != (self.rows, self.cols) or mapped.dtype != self.dtype or not mapped.flags.c_contiguous:
                raise ValueError(
                    f"{self.path}: holds {mapped.dtype} {mapped.shape}, the metadata records "
                    f"{self.dtype} {(self.rows, self.cols)}"
                )
            self.array = mapped

    def _open_log(self, store, mmap: bool) -> None:
        bad = ValueError(f"{store.metadata_path}: the extents of {self.what} are inconsistent")
        if self.cols > self.capacity:
            raise bad
        row = 0
        for first, count, offset, written, _ in self.extents:
            if first != row or count < 1 or written < count or offset < HEADER_BYTES:
                raise bad
            if offset % PAGE != (first * self.row_bytes) % PAGE or offset + written * self.row_bytes > self.file_end:
                raise bad
            row += count
        if row != self.rows:
            raise bad
        fd = open_regular(self.path, self.what)
        try:
            ident = read_log_header(fd, self.path, self.what)
            if ident.get("key") != self.key or ident.get("file_id") != self.file_id:
                raise ValueError(
                    f"{self.what}: {self.path} belongs to dataset {ident.get('key')!r} "
                    f"(file {ident.get('file_id')!r}), not to this one"
                )
            if ident.get("dtype") != self.dtype.str or ident.get("capacity") != self.capacity:
                raise ValueError(f"{self.what}: {self.path} holds another dtype or width than the metadata records")
            size = os.fstat(fd).st_size
            if size < self.file_end:
                raise ValueError(
                    f"{self.what}: {self.path} holds {size:,} bytes, the metadata records {self.file_end:,} (truncated)"
                )
            self.fd_size = size
            self.array = None
            if mmap and self.rows:
                spans = [(f, c, o) for f, c, o, _, _ in self.extents]
                if len(spans) == 1:
                    self.array = np.memmap(self.path, dtype=self.dtype, mode="r", offset=spans[0][2],
                                           shape=(self.rows, self.capacity))
                else:
                    self.array = map_extents(fd, spans, self.rows, self.capacity, self.dtype)
        finally:
            os.close(fd)

    def values(self, lo: int, hi: int, mmap: bool) -> np.ndarray:
        """Rows [lo, hi) over the stock columns: a view of the mapping, or a copy."""
        if hi <= lo or self.rows == 0:
            return np.empty((0, self.cols), dtype=self.dtype)
        if mmap and self.array is not None:
            return self.array[lo:hi, : self.cols]
        if self.legacy:
            return _read_npy_rows(self.path, lo, hi, (self.rows, self.cols), self.dtype)
        fd = open_regular(self.path, self.what)
        try:
            spans = [(f, c, o) for f, c, o, _, _ in self.extents]
            return copy_rows(fd, spans, lo, hi, self.capacity, self.cols, self.dtype)
        finally:
            os.close(fd)

    def full_rows(self) -> np.ndarray:
        """All rows at full width, mapped where possible (for copying rows into a new version)."""
        if self.array is None:
            if self.legacy:
                self.array = self.values(0, self.rows, False)
            else:
                fd = open_regular(self.path, self.what)
                try:
                    spans = [(f, c, o) for f, c, o, _, _ in self.extents]
                    self.array = copy_rows(fd, spans, 0, self.rows, self.capacity, self.capacity, self.dtype)
                finally:
                    os.close(fd)
        return self.array

    def verify(self) -> None:
        """Reads every extent back and compares its checksum (a file of the previous
        layout has none: its size and header are checked)."""
        if self.legacy:
            self._open_legacy(True)
            return
        fd = open_regular(self.path, self.what)
        try:
            for first, count, offset, written, digest in self.extents:
                if extent_checksum(fd, offset, first, written, self.row_bytes) != digest:
                    raise ValueError(
                        f"rows {self.dates[first]}..{self.dates[first + count - 1]} of {self.path.name} "
                        "do not match their checksum (damaged)"
                    )
        finally:
            os.close(fd)


class BinaryPreparedDataStoreBase:
    """Binary store of prepared backtest data in one directory.

    Each dataset is a date x stock matrix in its storage dtype, kept row-major in a log
    file and loaded as one read-only memory map; the metadata file records what the
    store holds, and replacing it is the commit point of every change. A whole payload
    is written all-or-nothing (`write_payload`), a partial one merged in at the cost of
    what it touches (`update_payload`); a reader sees either the previous or the new
    version, never a mix, and a frame it loaded never changes afterwards.
    """

    def __init__(self, store_dir: str | os.PathLike, matrix_dtype: Mapping, version: object, float_dtype: object):
        if not isinstance(store_dir, (str, os.PathLike)):
            raise TypeError(f"store_dir must be a str or path, got {type(store_dir).__name__}")
        if not isinstance(matrix_dtype, Mapping):
            raise TypeError(f"matrix_dtype must be a dict of dataset key -> dtype, got {type(matrix_dtype).__name__}")
        for key, dtype in matrix_dtype.items():
            if not isinstance(key, str):
                raise TypeError(f"dataset keys must be str, got {key!r}")
            _storage_dtype(dtype)
        _plain_pickle(version, "the store version")
        if _storage_dtype(float_dtype).kind != "f":
            raise ValueError(f"float_dtype must be a float dtype, got {float_dtype!r}")
        self.store_dir = Path(store_dir).expanduser()
        self.matrix_dtype = dict(matrix_dtype)
        self.version = version
        self.float_dtype = float_dtype
        self.metadata_path = self.store_dir / "metadata.pkl"
        self.manifest_path = self.store_dir / "manifest.json"

    def __repr__(self) -> str:
        return f"{type(self).__name__}({str(self.store_dir)!r})"

    # -- metadata ----------------------------------------------------------------

    def _read_metadata(self) -> dict | None:
        """The metadata dict, or None when the store holds nothing yet."""
        try:
            fd = open_regular(self.metadata_path, "store metadata")
        except FileNotFoundError:
            return None
        with os.fdopen(fd, "rb") as fh:
            info = os.fstat(fh.fileno())
            size = info.st_size
            stamp = (str(self.metadata_path), info.st_dev, info.st_ino, size, info.st_mtime_ns, info.st_ctime_ns)
            if size > _METADATA_MAX_BYTES:
                raise ValueError(f"{self.metadata_path}: {size:,} bytes is far more than store metadata can be")
            try:
                metadata = _PlainUnpickler(fh, self.metadata_path).load()
            except EOFError:
                raise pickle.UnpicklingError(f"{self.metadata_path}: store metadata is truncated") from None
            except (MemoryError, RecursionError):
                raise ValueError(f"{self.metadata_path}: the store metadata is too large once unpickled") from None
        # The walk is skipped for a file already checked by this process: renaming a new
        # metadata file over it changes the inode, and any change of it the ctime.
        if stamp not in _SHAPE_CHECKED:
            _check_metadata_shape(metadata, self.metadata_path)
            if len(_SHAPE_CHECKED) > 256:
                _SHAPE_CHECKED.clear()
            _SHAPE_CHECKED.add(stamp)
        if not isinstance(metadata, dict):
            raise ValueError(f"{self.metadata_path} does not hold a metadata dict")
        fmt = metadata.get("format", 1)
        if type(fmt) is not int or fmt > _STORE_FORMAT:
            raise ValueError(f"{self.metadata_path}: unknown store format {fmt!r}")
        for group in ("datasets", "benchmarks", "meta"):
            if not isinstance(metadata.get(group, {}), dict):
                raise ValueError(f"{self.metadata_path}: {group!r} is not a dict but {type(metadata[group]).__name__}")
        return metadata

    def load_metadata(self) -> dict:
        """The store's metadata as a new dict (empty for a store that holds nothing)."""
        metadata = self._read_metadata()
        return {} if metadata is None else metadata

    def _check_version(self, metadata: dict) -> None:
        version = metadata.get("version", self.version)
        if version != self.version:
            raise ValueError(
                f"{self.metadata_path}: the store holds prepared data of version {version!r}, "
                f"this store reads version {self.version!r}"
            )

    # -- reading -----------------------------------------------------------------

    def load(self, start_date=None, end_date=None, keys=None, mmap=True) -> dict | None:
        """The datasets named in `keys` (all recorded ones when None) as date x stock
        DataFrames restricted to the inclusive date range, in a dict with "version",
        "meta" and "data"; None when the store holds nothing.

        With `mmap` true the values are read-only memory maps of the store's files;
        otherwise in-memory copies. Only the rows of the date range are read. The key
        "benchmark_dict" gives the benchmark dictionary over the same range.
        """
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
        if keys is not None:
            if not isinstance(keys, (list, tuple)):
                raise TypeError(f"keys must be a list of dataset keys or None, got {type(keys).__name__}")
            for key in keys:
                if not isinstance(key, str):
                    raise TypeError(f"dataset keys must be str, got {key!r}")
        return self._retrying(lambda metadata: self._load_from(metadata, start, end, keys, bool(mmap)))

    def _retrying(self, read: Callable[[dict], Any]) -> Any:
        """Runs `read` on the current metadata. A writer that commits meanwhile may
        unlink files the older metadata named: then the read starts again on the new
        metadata; a file missing under unchanged metadata is a damaged store."""
        for attempt in range(3):
            metadata = self._read_metadata()
            if metadata is None:
                return None
            try:
                return read(metadata)
            except FileNotFoundError as exc:
                if attempt < 2 and self._read_metadata() != metadata:
                    continue
                raise ValueError(f"{self.store_dir}: a file of the store is missing: {exc.filename}") from None
        raise AssertionError("unreachable")

    def _load_from(self, metadata: dict, start, end, keys, mmap: bool) -> dict:
        self._check_version(metadata)
        datasets = metadata.get("datasets", {})
        if keys is None:
            keys = [k for k in self.matrix_dtype if k in datasets] + [k for k in datasets if k not in self.matrix_dtype]
        for key in keys:
            if key not in datasets and key != "benchmark_dict":
                raise KeyError(f"dataset {key!r} is not in the store {str(self.store_dir)!r}")
        axes = _AxisCache(self.store_dir)
        data: dict[str, Any] = {}
        for key in keys:
            if key in datasets:
                data[key] = self._load_dataset(key, datasets[key], start, end, mmap, axes)
            else:
                data[key] = self._load_benchmarks(metadata, start, end, axes)
        return {"version": metadata.get("version", self.version), "meta": metadata.get("meta", {}), "data": data}

    def load_benchmark_dict(self, start_date=None, end_date=None) -> dict:
        """The stored benchmark dictionary (name -> daily return Series), each series
        restricted to the inclusive date range; empty when nothing is stored."""
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)

        def read(metadata):
            self._check_version(metadata)
            return self._load_benchmarks(metadata, start, end, _AxisCache(self.store_dir))

        out = self._retrying(read)
        return {} if out is None else out

    @staticmethod
    def _date_bounds(dates: np.ndarray, start: str | None, end: str | None) -> tuple[int, int]:
        lo = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
        hi = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
        return lo, max(lo, hi)

    def _load_dataset(self, key, desc, start, end, mmap, axes: _AxisCache) -> pd.DataFrame:
        stored = _Stored(self, key, desc, axes, mmap)
        lo, hi = self._date_bounds(stored.dates, start, end)
        values = stored.values(lo, hi, mmap)
        index = axes.index(stored.index_rel, stored.what, lo, hi, desc.get("index_name"))
        columns = axes.index(stored.columns_rel, stored.what, name=desc.get("columns_name"))
        return pd.DataFrame(values, index=index, columns=columns, copy=False)

    def _stored_series(self, name, desc, axes: _AxisCache) -> tuple[np.ndarray, np.ndarray, str, str, object]:
        what = f"benchmark {name!r}"
        try:
            values_rel, index_rel, series_name = desc["values"], desc["index"], desc["name"]
        except (KeyError, TypeError):
            raise ValueError(f"{self.metadata_path}: {what} has a malformed descriptor") from None
        values = axes.array(values_rel, what)
        dates = axes.dates(index_rel, what)
        if values.ndim != 1 or len(values) != len(dates):
            raise ValueError(f"{self.metadata_path}: the values and dates of {what} do not match")
        return values, dates, values_rel, index_rel, series_name

    def _load_benchmarks(self, metadata: dict, start, end, axes: _AxisCache) -> dict:
        out = {}
        for name, desc in metadata.get("benchmarks", {}).items():
            values, dates, _, index_rel, series_name = self._stored_series(name, desc, axes)
            lo, hi = self._date_bounds(dates, start, end)
            index = axes.index(index_rel, f"benchmark {name!r}", lo, hi, desc.get("index_name"))
            out[name] = pd.Series(values[lo:hi], index=index, name=series_name, copy=False)
        return out

    # -- validation ----------------------------------------------------------------

    def _plan_matrix(self, key: object, matrix: object, dtype: object, axes: _AxisMemo | None = None) -> _MatrixPlan:
        """Checks one dataset completely (type, axes, values against the storage dtype)."""
        if not isinstance(key, str):
            raise TypeError(f"dataset keys must be str, got {key!r}")
        key = str(key)
        what = f"dataset {key!r}"
        target = _storage_dtype(dtype)
        if not isinstance(matrix, pd.DataFrame):
            raise TypeError(f"{what} must be a date x stock DataFrame, got {type(matrix).__name__}")
        axes = axes or _AxisMemo()
        dates = axes.get(matrix.index, _date_axis, what)
        codes = axes.get(matrix.columns, _code_axis, what)
        names = {
            "index_name": _label_name(matrix.index.name, f"{what}: the date axis name"),
            "columns_name": _label_name(matrix.columns.name, f"{what}: the stock axis name"),
        }
        values = _numeric_values(matrix, what)
        _check_storable(values, target, what, dates, codes)
        return _MatrixPlan(key, target, values, dates, codes, names)

    def _plan_series(self, name: object, series: object, axes: _AxisMemo) -> _SeriesPlan:
        if not isinstance(name, str):
            raise TypeError(f"benchmark names must be str, got {name!r}")
        name = str(name)
        what = f"benchmark {name!r}"
        if not isinstance(series, pd.Series):
            raise TypeError(f"{what} must be a Series of daily returns, got {type(series).__name__}")
        if not (pd.api.types.is_numeric_dtype(series.dtype) or pd.api.types.is_bool_dtype(series.dtype)):
            raise TypeError(f"{what} holds {series.dtype} values, not numbers")
        series_name = _label_name(series.name, f"{what}: the series name")
        index_name = _label_name(series.index.name, f"{what}: the date axis name")
        dates = axes.get(series.index, _date_axis, what)
        target = _storage_dtype(self.float_dtype)
        values = series.to_numpy(dtype=target, na_value=np.nan)
        return _SeriesPlan(name, series_name, values, dates, index_name)

    def _plan_payload(self, payload: object) -> tuple[list[_MatrixPlan], list[_SeriesPlan], Any]:
        if not isinstance(payload, Mapping):
            raise TypeError(f"payload must be a dict with 'version', 'meta' and 'data', got {type(payload).__name__}")
        if "version" not in payload:
            raise ValueError("payload has no 'version'")
        version = payload["version"]
        if type(version) is bool or version != self.version:
            raise ValueError(f"payload version {version!r} does not match the store's version {self.version!r}")
        meta = payload.get("meta", {})
        if not isinstance(meta, dict):
            raise TypeError(f"payload 'meta' must be a dict, got {type(meta).__name__}")
        _plain_pickle(meta, "payload 'meta'")
        data = payload.get("data")
        if not isinstance(data, Mapping):
            raise TypeError(f"payload 'data' must be a dict, got {type(data).__name__}")
        axes = _AxisMemo()
        plans = [
            self._plan_matrix(key, data[key], dtype, axes) for key, dtype in self.matrix_dtype.items() if key in data
        ]
        bench = data.get("benchmark_dict", {})
        if not isinstance(bench, Mapping):
            raise TypeError(f"payload 'benchmark_dict' must be a dict, got {type(bench).__name__}")
        series = [self._plan_series(name, s, axes) for name, s in bench.items()]
        return plans, series, meta

    # -- writing -----------------------------------------------------------------

    @staticmethod
    def _data_dir(root: Path) -> Path:
        data_dir = root / _DATA_DIR
        if not data_dir.is_dir():
            data_dir.mkdir(parents=True, exist_ok=True)
            _fsync_dir(root)
        return data_dir

    @staticmethod
    def _write_axis(data_dir: Path, labels: np.ndarray, written: set) -> str:
        """Stores an axis under a name derived from its content (once per content)."""
        name = f"axis-{_axis_digest(labels)}.npy"
        if name not in written and not (data_dir / name).is_file():
            _write_atomically(
                data_dir / name, lambda fh: np.lib.format.write_array(fh, labels, allow_pickle=False), sync_dir=False
            )
        written.add(name)
        return f"{_DATA_DIR}/{name}"

    def _write_log(self, data_dir: Path, key: str, dtype: np.dtype, rows: int, capacity: int,
                   block: Callable[[int, int], np.ndarray], written: set) -> dict:
        """A fresh log file holding rows [0, rows) of `block` as one extent; returns the
        file and extent entries of the descriptor."""
        file_id = secrets.token_hex(8)
        name = f"{_safe_file_stem(key)}-{file_id}.log"
        writer = LogWriter(data_dir / name, True, log_header(key, file_id, dtype, capacity), 0)
        written.add(name)
        try:
            extents = []
            if rows:
                offset, _, digest = writer.append_extent(0, capacity * dtype.itemsize, b"",
                                                         _blocks(block, 0, rows, capacity * dtype.itemsize))
                extents.append([0, rows, offset, rows, digest])
        finally:
            writer.close(sync=False)  # synced with the others before the commit (_sync_logs)
        return {"layout": _LAYOUT, "file": f"{_DATA_DIR}/{name}", "file_id": file_id, "file_end": writer.end,
                "capacity": capacity, "extents": extents}

    def _describe(self, plan_like: dict, dates: np.ndarray, codes: np.ndarray, dtype: np.dtype, names: dict,
                  data_dir: Path, written: set) -> dict:
        rows = len(dates)
        return {
            **plan_like,
            "dtype": dtype.name,
            "shape": [int(rows), int(len(codes))],
            "index": self._write_axis(data_dir, dates, written),
            "columns": self._write_axis(data_dir, codes, written),
            "start_date": str(dates[0]) if rows else None,
            "end_date": str(dates[-1]) if rows else None,
            **names,
        }

    def _write_plan(self, data_dir: Path, plan: _MatrixPlan, written: set) -> dict:
        cols = plan.values.shape[1]
        capacity = cols + _spare_columns(cols)
        fill = _fill_value(plan.key, plan.dtype)

        def block(r0, r1):
            out = np.full((r1 - r0, capacity), fill, dtype=plan.dtype)
            out[:, :cols] = plan.values[r0:r1]
            return out

        entry = self._write_log(data_dir, plan.key, plan.dtype, len(plan.dates), capacity, block, written)
        return self._describe(entry, plan.dates, plan.codes, plan.dtype, plan.names, data_dir, written)

    def _write_series(self, data_dir: Path, plan: _SeriesPlan, written: set) -> dict:
        name = f"benchmark-{_safe_file_stem(plan.name)}-{secrets.token_hex(8)}.npy"
        blob = io.BytesIO()
        np.lib.format.write_array(blob, plan.values, allow_pickle=False)
        _write_atomically(data_dir / name, lambda fh: fh.write(blob.getvalue()), sync_dir=False)
        written.add(name)
        n = len(plan.values)
        return {
            "values": f"{_DATA_DIR}/{name}",
            "sha256": hashlib.sha256(blob.getvalue()).hexdigest(),
            "index": self._write_axis(data_dir, plan.dates, written),
            "name": plan.series_name,
            "dtype": plan.values.dtype.name,
            "length": int(n),
            "start_date": str(plan.dates[0]) if n else None,
            "end_date": str(plan.dates[-1]) if n else None,
            "index_name": plan.index_name,
        }

    def _write_matrix(self, store_dir, key, matrix, dtype) -> dict:
        """Writes one date x stock matrix as dataset `key` in storage dtype `dtype` and
        returns its descriptor. The dataset becomes part of the store only when a
        metadata file that records the descriptor replaces the current one."""
        plan = self._plan_matrix(key, matrix, dtype)
        root = Path(store_dir).expanduser()
        with writer_lock(root):  # refused while an update or compaction runs
            data_dir = self._data_dir(root)
            written: set = set()
            descriptor = self._write_plan(data_dir, plan, written)
            _sync_logs(data_dir, written)
            _fsync_dir(data_dir)
        return descriptor

    def _write_manifest(self, store_dir, metadata: dict) -> None:
        """Rewrites manifest.json, a readable summary of the complete metadata dict."""
        datasets = metadata.get("datasets", {})
        benchmarks = metadata.get("benchmarks", {})
        described = [d for d in list(datasets.values()) + list(benchmarks.values()) if isinstance(d, Mapping)]
        starts = [d["start_date"] for d in described if isinstance(d.get("start_date"), str)]
        ends = [d["end_date"] for d in described if isinstance(d.get("end_date"), str)]
        manifest = {
            "format": metadata.get("format", 1),
            "version": metadata.get("version", self.version),
            "updated_at": metadata.get("updated_at"),
            "start_date": min(starts) if starts else None,
            "end_date": max(ends) if ends else None,
            "datasets": {
                key: {
                    **{k: d.get(k) for k in ("dtype", "shape", "start_date", "end_date", "file")},
                    "extents": len(d.get("extents", [])) if isinstance(d.get("extents"), list) else 1,
                }
                for key, d in datasets.items()
                if isinstance(d, Mapping)
            },
            "benchmarks": {
                name: {k: d.get(k) for k in ("length", "start_date", "end_date", "values")}
                for name, d in benchmarks.items()
                if isinstance(d, Mapping)
            },
            "meta": _json_keys(metadata.get("meta", {})),
        }
        text = json.dumps(manifest, ensure_ascii=False, indent=2, default=str) + "\n"
        _write_atomically(Path(store_dir).expanduser() / "manifest.json", lambda fh: fh.write(text.encode("utf-8")))

    def _commit(self, metadata: dict) -> None:
        """Commits `metadata` (the rename of the metadata file), then the manifest, then
        unlinks what no longer belongs to the store."""
        metadata["format"] = _STORE_FORMAT
        metadata["updated_at"] = pd.Timestamp.now().isoformat()
        blob = _plain_pickle(metadata, "store metadata")
        _write_atomically(self.metadata_path, lambda fh: fh.write(blob))
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced(metadata)

    def _remove_unreferenced(self, metadata: dict) -> None:
        """Deletes files of the data directory that the metadata does not reference
        (earlier versions, writes that were interrupted) and stale temporary files.
        Unlinked, never truncated: a reader that mapped one keeps its data."""
        referenced = set()
        for group, fields in (("datasets", ("file", "index", "columns")), ("benchmarks", ("values", "index"))):
            for desc in metadata.get(group, {}).values():
                referenced.update(desc.get(f) for f in fields)
        for directory, keep in ((self.store_dir / _DATA_DIR, True), (self.store_dir, False)):
            with os.scandir(directory) as entries:
                for entry in entries:
                    if not entry.is_file(follow_symlinks=False):
                        continue
                    stale_tmp = entry.name.startswith(".") and _TMP_MARK in entry.name
                    unreferenced = keep and f"{_DATA_DIR}/{entry.name}" not in referenced
                    if stale_tmp or unreferenced:
                        with contextlib.suppress(FileNotFoundError):
                            os.unlink(entry.path)

    def write_payload(self, payload: Mapping) -> None:
        """Replaces what the store holds by a whole payload ({"version", "meta",
        "data"}): every dataset of "data" that the dtype map names, the
        "benchmark_dict" and the "meta".

        All input is checked before anything is written. The new files are written
        and synced first; replacing the metadata file then switches the store to the
        new payload in one step, so an interruption at any moment leaves either the
        previous payload or the new one, whole.
        """
        plans, series, meta = self._plan_payload(payload)
        with writer_lock(self.store_dir):
            self._write_whole(plans, series, meta)

    def _write_whole(self, plans, series, meta) -> None:
        data_dir = self._data_dir(self.store_dir)
        written: set = set()
        datasets = {plan.key: self._write_plan(data_dir, plan, written) for plan in plans}
        benchmarks = {plan.name: self._write_series(data_dir, plan, written) for plan in series}
        _sync_logs(data_dir, written)
        _fsync_dir(data_dir)
        self._commit({"version": self.version, "meta": meta, "datasets": datasets, "benchmarks": benchmarks})

    # -- updating ----------------------------------------------------------------

    def update_payload(self, payload: Mapping) -> None:
        """Merges a payload into the store at the cost of what it touches.

        For every dataset and benchmark of the payload, its dates replace the stored
        rows of the same dates and later dates are appended (stored dates the payload
        skips keep their rows); stock codes new to the store join its stock axis, their
        earlier rows holding the fill of a whole write (NaN, or the flag value that
        blocks trading); datasets and benchmarks new to the store are added; the other
        stored ones stay as they are. The payload's "meta" entries replace those of the
        stored meta. A store without data simply receives the payload.

        Everything is checked before anything is written (a wrong version, a dataset
        stored in another dtype, malformed axes or values: ValueError or TypeError, and
        the store is untouched). Only one writer at a time: a second one gets
        StoreLockedError. Killed at any moment, the store holds the old or the new
        version, whole; frames loaded earlier never change.
        """
        plans, series, meta = self._plan_payload(payload)
        with writer_lock(self.store_dir):
            metadata = self._read_metadata()
            if metadata is None or not (metadata.get("datasets") or metadata.get("benchmarks")):
                self._write_whole(plans, series, meta)
                return
            self._check_version(metadata)
            old_sets, old_bench = metadata.get("datasets", {}), metadata.get("benchmarks", {})
            axes = _AxisCache(self.store_dir)
            work = []
            for plan in plans:
                stored = _Stored(self, plan.key, old_sets[plan.key], axes) if plan.key in old_sets else None
                if stored is not None and stored.dtype != plan.dtype:
                    raise ValueError(
                        f"dataset {plan.key!r} is stored as {stored.dtype.name}, the update would write "
                        f"{plan.dtype.name}; rebuild the store to change a dtype"
                    )
                work.append((plan, stored))
            bench_work = [
                (s, self._stored_series(s.name, old_bench[s.name], axes) if s.name in old_bench else None)
                for s in series
            ]
            data_dir = self._data_dir(self.store_dir)
            written: set = set()
            datasets, benchmarks = dict(old_sets), dict(old_bench)
            for plan, stored in work:
                if stored is None:
                    datasets[plan.key] = self._write_plan(data_dir, plan, written)
                else:
                    datasets[plan.key] = self._update_dataset(data_dir, plan, stored, written)
            for s, stored in bench_work:
                benchmarks[s.name] = self._write_series(data_dir, _merged_series(s, stored), written)
            _sync_logs(data_dir, written)
            _fsync_dir(data_dir)
            new_meta = dict(metadata.get("meta", {}))
            new_meta.update(meta)
            self._commit({**metadata, "meta": new_meta, "datasets": datasets, "benchmarks": benchmarks})

    def _update_dataset(self, data_dir: Path, plan: _MatrixPlan, stored: _Stored, written: set) -> dict:
        if len(plan.dates) == 0:
            return stored.desc
        if stored.rows == 0:
            return self._write_plan(data_dir, plan, written)
        new_codes = plan.codes[~np.isin(plan.codes, stored.codes)]
        codes = np.concatenate([stored.codes.astype(str), new_codes.astype(str)]) if len(new_codes) else stored.codes
        a = int(np.searchsorted(stored.dates, plan.dates[0], side="left"))
        dates = np.concatenate([stored.dates[:a], np.union1d(stored.dates[a:], plan.dates)]).astype("<U8")
        rows, cols = len(dates), len(codes)
        # Where each new row comes from: the payload, else the stored row of that date.
        src_pay = np.full(rows, -1, dtype=np.int64)
        src_old = np.full(rows, -1, dtype=np.int64)
        at = np.searchsorted(plan.dates, dates)
        hit = (at < len(plan.dates)) & (plan.dates[np.minimum(at, len(plan.dates) - 1)] == dates)
        src_pay[hit] = at[hit]
        at = np.searchsorted(stored.dates, dates)
        hit_old = (at < len(stored.dates)) & (stored.dates[np.minimum(at, max(len(stored.dates) - 1, 0))] == dates)
        src_old[hit_old & ~hit] = at[hit_old & ~hit]
        pay_cols = pd.Index(codes).get_indexer(pd.Index(plan.codes))
        rewrite = stored.legacy or cols > stored.capacity or len(stored.extents) >= _MAX_EXTENTS
        capacity = cols + _spare_columns(cols) if stored.legacy or cols > stored.capacity else stored.capacity
        old = stored.full_rows()
        fill = stored.fill

        def block(r0, r1):
            out = np.full((r1 - r0, capacity), fill, dtype=plan.dtype)
            so = src_old[r0:r1]
            keep = so >= 0
            if keep.any():
                width = min(stored.cols, capacity)
                out[keep, :width] = old[so[keep], :width]
            sp = src_pay[r0:r1]
            new = np.flatnonzero(sp >= 0)
            if len(new):
                out[np.ix_(new, pay_cols)] = plan.values[sp[new]]
            return out

        names = {"index_name": stored.desc.get("index_name"), "columns_name": stored.desc.get("columns_name")}
        if not rewrite:
            kept = [[f, min(c, a - f), o, w, d] for f, c, o, w, d in stored.extents if f < a]
            start = a
            # Small trailing extents are merged into the new one (see the layout comment).
            while kept and kept[-1][1] < rows - start and rows - kept[-1][0] <= _MERGE_ROWS:
                start = kept.pop()[0]
            rewrite = start == 0
        if rewrite:
            entry = self._write_log(data_dir, plan.key, plan.dtype, rows, capacity, block, written)
        else:
            row_bytes = stored.row_bytes
            flat = old.reshape(-1).view(np.uint8)
            prefix = bytes(flat[page_floor(start * row_bytes) : start * row_bytes])
            writer = LogWriter(stored.path, False, None, stored.file_end)
            try:
                offset, _, digest = writer.append_extent(start, row_bytes, prefix,
                                                         _blocks(block, start, rows, row_bytes))
            finally:
                writer.close(sync=False)
            written.add(stored.path.name)
            entry = {key: stored.desc[key] for key in ("layout", "file", "file_id", "capacity")}
            entry.update(file_end=writer.end, extents=kept + [[start, rows - start, offset, rows - start, digest]])
        return self._describe(entry, dates, codes, plan.dtype, names, data_dir, written)

    # -- maintenance -------------------------------------------------------------

    def compact(self) -> int:
        """Rewrites every dataset held in more than one extent (or in the layout of an
        older version) as one extent in a fresh file, and returns how many were
        rewritten. Loads need no compaction; it only reclaims the space of replaced
        rows and keeps the number of mappings per load low. Crash-safe like an update:
        killed at any moment, the store loads whole, and earlier loads keep their data."""
        with writer_lock(self.store_dir):
            metadata = self._read_metadata()
            if metadata is None:
                return 0
            datasets = dict(metadata.get("datasets", {}))
            axes = _AxisCache(self.store_dir)
            data_dir = self._data_dir(self.store_dir)
            written: set = set()
            done = 0
            for key, desc in list(datasets.items()):
                stored = _Stored(self, key, desc, axes)
                live = HEADER_BYTES + page_ceil(stored.rows * stored.row_bytes)
                if not stored.legacy and len(stored.extents) <= 1 and stored.file_end <= live + PAGE:
                    continue
                old = stored.full_rows()
                capacity = stored.capacity if not stored.legacy else stored.cols + _spare_columns(stored.cols)

                def block(r0, r1, old=old, stored=stored, capacity=capacity):
                    out = np.full((r1 - r0, capacity), stored.fill, dtype=stored.dtype)
                    out[:, : stored.cols] = old[r0:r1, : stored.cols]
                    return out

                entry = self._write_log(data_dir, key, stored.dtype, stored.rows, capacity, block, written)
                datasets[key] = {**desc, **entry}
                done += 1
            if done:
                _sync_logs(data_dir, written)
                _fsync_dir(data_dir)
                self._commit({**metadata, "datasets": datasets})
            return done

    def verify(self) -> list[str]:
        """Checks the whole store: the metadata, every file it names (present, regular,
        of the recorded size) and every checksum (all data bytes are read). Returns one
        line per damaged dataset or benchmark, naming it; an empty list means whole."""
        try:
            metadata = self._read_metadata()
        except (ValueError, OSError, pickle.UnpicklingError) as exc:
            return [f"metadata: {exc}"]
        if metadata is None:
            return []
        problems = []
        axes = _AxisCache(self.store_dir)
        for key, desc in metadata.get("datasets", {}).items():
            try:
                _Stored(self, key, desc, axes, mmap=False).verify()
            except (ValueError, OSError) as exc:
                problems.append(f"dataset {key!r}: {exc}")
        for name, desc in metadata.get("benchmarks", {}).items():
            try:
                _, _, values_rel, _, _ = self._stored_series(name, desc, axes)
                digest = desc.get("sha256")
                if digest is not None:
                    with regular_file(axes.path(values_rel, name), f"benchmark {name!r}") as fh:
                        if hashlib.sha256(fh.read()).hexdigest() != digest:
                            raise ValueError(f"{values_rel} does not match its checksum (damaged)")
            except (ValueError, OSError) as exc:
                problems.append(f"benchmark {name!r}: {exc}")
        return problems


def _sync_logs(data_dir: Path, names: set) -> None:
    """fsyncs the log files among `names`, several at once (each waits on the disk)."""
    paths = [data_dir / name for name in names if name.endswith(".log")]

    def sync(path):
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)

    if len(paths) <= 1:
        for path in paths:
            sync(path)
        return
    with ThreadPoolExecutor(max_workers=min(8, len(paths))) as pool:
        list(pool.map(sync, paths))


def _blocks(block: Callable[[int, int], np.ndarray], lo: int, hi: int, row_bytes: int):
    """Rows [lo, hi) of `block`, a bounded number of bytes at a time."""
    step = max(1, COPY_CHUNK_BYTES // max(1, row_bytes))
    for r0 in range(lo, hi, step):
        yield block(r0, min(hi, r0 + step))


def _merged_series(plan: _SeriesPlan, stored) -> _SeriesPlan:
    """A benchmark series after an update: stored values before the payload's first
    date, then the union of later dates, the payload's values where it has them."""
    if stored is None or len(plan.dates) == 0 or len(stored[1]) == 0:
        return plan if stored is None or len(plan.dates) else _SeriesPlan(plan.name, stored[4], stored[0], stored[1], plan.index_name)
    values, dates = stored[0], stored[1]
    a = int(np.searchsorted(dates, plan.dates[0], side="left"))
    merged = np.union1d(dates[a:], plan.dates).astype("<U8")
    out = np.empty(len(merged), dtype=plan.values.dtype)
    pos_old = np.searchsorted(dates, merged)
    in_old = (pos_old < len(dates)) & (dates[np.minimum(pos_old, len(dates) - 1)] == merged)
    out[in_old] = values[pos_old[in_old]]
    pos_new = np.searchsorted(plan.dates, merged)
    in_new = (pos_new < len(plan.dates)) & (plan.dates[np.minimum(pos_new, len(plan.dates) - 1)] == merged)
    out[in_new] = plan.values[pos_new[in_new]]
    return _SeriesPlan(plan.name, plan.series_name, np.concatenate([values[:a].astype(out.dtype), out]),
                       np.concatenate([dates[:a], merged]).astype("<U8"), plan.index_name)
