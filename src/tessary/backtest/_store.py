"""Binary prepared-data store: base class and the helpers shared with the builder."""

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
from pathlib import Path
from typing import IO, Any

import numpy as np
import pandas as pd

__all__ = ["normalize_yyyymmdd", "clean_matrix", "component_dataset_key", "BinaryPreparedDataStoreBase"]

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



# ---------------------------------------------------------------------------
# Binary prepared-data store.
#
# A store directory holds:
#   metadata.pkl   the pickled metadata dict: the only file that says what the store holds
#   manifest.json  a human-readable summary of the metadata, rewritten after it
#   data/          one .npy file per dataset (row-major, one row per date) and per benchmark
#                  series, plus the date and stock-code axes as .npy string arrays, named by
#                  their content so that identical axes are stored once
#
# Files under data/ are never rewritten in place: every write creates files under fresh
# names, and only the rename of metadata.pkl makes them part of the store. A writer killed
# at any moment leaves the previous metadata pointing at complete previous files; what it
# had written is unreferenced and removed by the next whole-payload write.

_STORE_FORMAT = 1
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


def _write_npy_rows(fh: IO[bytes], values: np.ndarray, target: np.dtype) -> None:
    """Writes `values` cast to `target` as a row-major .npy file, a few rows at a time
    (no full copy of the array is ever made)."""
    shape = values.shape
    header = {"descr": np.lib.format.dtype_to_descr(target), "fortran_order": False, "shape": shape}
    np.lib.format.write_array_header_1_0(fh, header)
    row_bytes = max(1, int(np.prod(shape[1:], dtype=np.int64)) * target.itemsize)
    step = max(1, _WRITE_CHUNK_BYTES // row_bytes)
    for r0 in range(0, shape[0], step):
        chunk = np.ascontiguousarray(values[r0 : r0 + step], dtype=target)
        fh.write(memoryview(chunk.reshape(-1).view(np.uint8)))


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


class _AxisCache:
    """Axis arrays and their pandas indexes of one load call, each file read once."""

    def __init__(self, root: Path):
        self.root = root
        self._arrays: dict[str, np.ndarray] = {}
        self._indexes: dict[str, pd.Index] = {}

    def path(self, rel: object, what: str) -> Path:
        if not isinstance(rel, str) or not rel:
            raise ValueError(f"{what}: malformed file reference {rel!r} in the store metadata")
        parts = rel.split("/")
        if rel.startswith("/") or any(p in ("", ".", "..") for p in parts):
            raise ValueError(f"{what}: file reference {rel!r} points outside the store")
        return self.root.joinpath(*parts)

    def array(self, rel: str, what: str) -> np.ndarray:
        if rel not in self._arrays:
            self._arrays[rel] = np.load(self.path(rel, what), allow_pickle=False)
        return self._arrays[rel]

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


class BinaryPreparedDataStoreBase:
    """Binary store of prepared backtest data in one directory.

    Each dataset is a date x stock matrix kept as a memory-mappable .npy file in its
    storage dtype, with its own date and stock-code axes; the metadata file records
    what the store holds, and replacing it is the commit point of every change. A
    whole payload is written all-or-nothing; a reader sees either the previous or
    the new payload, never a mix.
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
            fh = open(self.metadata_path, "rb")
        except FileNotFoundError:
            return None
        with fh:
            try:
                metadata = _PlainUnpickler(fh, self.metadata_path).load()
            except EOFError:
                raise pickle.UnpicklingError(f"{self.metadata_path}: store metadata is truncated") from None
        if not isinstance(metadata, dict):
            raise ValueError(f"{self.metadata_path} does not hold a metadata dict")
        fmt = metadata.get("format", _STORE_FORMAT)
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
        metadata = self._read_metadata()
        if metadata is None:
            return None
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
                data[key] = self._load_dataset(key, datasets[key], start, end, bool(mmap), axes)
            else:
                data[key] = self._load_benchmarks(metadata, start, end, axes)
        return {"version": metadata.get("version", self.version), "meta": metadata.get("meta", {}), "data": data}

    def load_benchmark_dict(self, start_date=None, end_date=None) -> dict:
        """The stored benchmark dictionary (name -> daily return Series), each series
        restricted to the inclusive date range; empty when nothing is stored."""
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
        metadata = self._read_metadata()
        if metadata is None:
            return {}
        self._check_version(metadata)
        return self._load_benchmarks(metadata, start, end, _AxisCache(self.store_dir))

    @staticmethod
    def _date_bounds(dates: np.ndarray, start: str | None, end: str | None) -> tuple[int, int]:
        lo = 0 if start is None else int(np.searchsorted(dates, start, side="left"))
        hi = len(dates) if end is None else int(np.searchsorted(dates, end, side="right"))
        return lo, max(lo, hi)

    def _load_dataset(self, key, desc, start, end, mmap, axes: _AxisCache) -> pd.DataFrame:
        what = f"dataset {key!r}"
        try:
            shape = tuple(int(n) for n in desc["shape"])
            dtype = np.dtype(desc["dtype"])
            file_rel, index_rel, columns_rel = desc["file"], desc["index"], desc["columns"]
        except (KeyError, TypeError, ValueError):
            raise ValueError(f"{self.metadata_path}: {what} has a malformed descriptor") from None
        dates = axes.array(index_rel, what)
        codes = axes.array(columns_rel, what)
        if len(shape) != 2 or (len(dates), len(codes)) != shape:
            raise ValueError(f"{self.metadata_path}: the axes of {what} do not match its shape {shape}")
        lo, hi = self._date_bounds(dates, start, end)
        path = axes.path(file_rel, what)
        if mmap:
            mapped = np.load(path, mmap_mode="r", allow_pickle=False)
            if mapped.shape != shape or mapped.dtype != dtype or not mapped.flags.c_contiguous:
                raise ValueError(f"{path}: holds {mapped.dtype} {mapped.shape}, the metadata records {dtype} {shape}")
            values = mapped[lo:hi]
        else:
            values = _read_npy_rows(path, lo, hi, shape, dtype)
        index = axes.index(index_rel, what, lo, hi, desc.get("index_name"))
        columns = axes.index(columns_rel, what, name=desc.get("columns_name"))
        return pd.DataFrame(values, index=index, columns=columns, copy=False)

    def _load_benchmarks(self, metadata: dict, start, end, axes: _AxisCache) -> dict:
        out = {}
        for name, desc in metadata.get("benchmarks", {}).items():
            what = f"benchmark {name!r}"
            try:
                values_rel, index_rel, series_name = desc["values"], desc["index"], desc["name"]
            except (KeyError, TypeError):
                raise ValueError(f"{self.metadata_path}: {what} has a malformed descriptor") from None
            values = axes.array(values_rel, what)
            dates = axes.array(index_rel, what)
            if values.ndim != 1 or len(values) != len(dates):
                raise ValueError(f"{self.metadata_path}: the values and dates of {what} do not match")
            lo, hi = self._date_bounds(dates, start, end)
            index = axes.index(index_rel, what, lo, hi, desc.get("index_name"))
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
        digest = hashlib.sha256(f"{labels.dtype.str}{labels.shape}".encode() + labels.tobytes()).hexdigest()[:40]
        name = f"axis-{digest}.npy"
        if name not in written and not (data_dir / name).is_file():
            _write_atomically(
                data_dir / name, lambda fh: np.lib.format.write_array(fh, labels, allow_pickle=False), sync_dir=False
            )
        written.add(name)
        return f"{_DATA_DIR}/{name}"

    def _write_plan(self, data_dir: Path, plan: _MatrixPlan, written: set) -> dict:
        name = f"{_safe_file_stem(plan.key)}-{secrets.token_hex(8)}.npy"
        _write_atomically(data_dir / name, lambda fh: _write_npy_rows(fh, plan.values, plan.dtype), sync_dir=False)
        written.add(name)
        rows, cols = plan.values.shape
        return {
            "file": f"{_DATA_DIR}/{name}",
            "dtype": plan.dtype.name,
            "shape": [int(rows), int(cols)],
            "index": self._write_axis(data_dir, plan.dates, written),
            "columns": self._write_axis(data_dir, plan.codes, written),
            "start_date": str(plan.dates[0]) if rows else None,
            "end_date": str(plan.dates[-1]) if rows else None,
            **plan.names,
        }

    def _write_series(self, data_dir: Path, plan: _SeriesPlan, written: set) -> dict:
        name = f"benchmark-{_safe_file_stem(plan.name)}-{secrets.token_hex(8)}.npy"
        _write_atomically(
            data_dir / name, lambda fh: np.lib.format.write_array(fh, plan.values, allow_pickle=False), sync_dir=False
        )
        written.add(name)
        n = len(plan.values)
        return {
            "values": f"{_DATA_DIR}/{name}",
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
        data_dir = self._data_dir(Path(store_dir).expanduser())
        descriptor = self._write_plan(data_dir, plan, set())
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
            "format": metadata.get("format", _STORE_FORMAT),
            "version": metadata.get("version", self.version),
            "updated_at": metadata.get("updated_at"),
            "start_date": min(starts) if starts else None,
            "end_date": max(ends) if ends else None,
            "datasets": {
                key: {k: d.get(k) for k in ("dtype", "shape", "start_date", "end_date", "file")}
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

    def _commit_metadata(self, metadata: dict) -> None:
        blob = _plain_pickle(metadata, "store metadata")
        _write_atomically(self.metadata_path, lambda fh: fh.write(blob))

    def _remove_unreferenced(self, metadata: dict) -> None:
        """Deletes files of the data directory that the metadata does not reference
        (earlier payloads, writes that were interrupted) and stale temporary files."""
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
        data_dir = self._data_dir(self.store_dir)
        written: set = set()
        datasets = {plan.key: self._write_plan(data_dir, plan, written) for plan in plans}
        benchmarks = {plan.name: self._write_series(data_dir, plan, written) for plan in series}
        _fsync_dir(data_dir)
        metadata = {
            "format": _STORE_FORMAT,
            "version": self.version,  # equal to the payload's, and plain
            "meta": meta,
            "datasets": datasets,
            "benchmarks": benchmarks,
            "updated_at": pd.Timestamp.now().isoformat(),
        }
        self._commit_metadata(metadata)
        self._write_manifest(self.store_dir, metadata)
        self._remove_unreferenced(metadata)
