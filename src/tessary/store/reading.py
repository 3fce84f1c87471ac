"""Reading a store: axis files, the extents of a dataset opened and checked, and the
rows of a date range as frames (mapped, or copied)."""

from __future__ import annotations

import mmap as _mmap
import os
from collections.abc import Mapping
from pathlib import Path
from typing import IO, Any, NamedTuple

import numpy as np
import pandas as pd

from tessary.store import checksums
from tessary.store.dates import date_bounds
from tessary.store.files import (
    HEADER_BYTES,
    PAGE,
    copy_rows,
    extent_checksum,
    extent_span,
    map_extents,
    open_regular,
    read_log_header,
    regular_file,
)
from tessary.store.layout import AXIS_NAME, LAYOUT, axis_digest, fill_value
from tessary.store.metadata import check_version

_SMALL_FILE_MAX_BYTES = 1 << 30
_CALENDAR_CHECKED: set[str] = set()  # checksums of date axes found to hold calendar dates


def _npy_header(fh: IO[bytes]) -> tuple:
    """The shape, Fortran order and dtype in the header of the .npy file `fh` is at the
    start of (versions 1.0 and 2.0); ValueError for another version."""
    version = np.lib.format.read_magic(fh)
    if version == (1, 0):
        return np.lib.format.read_array_header_1_0(fh)
    if version == (2, 0):
        return np.lib.format.read_array_header_2_0(fh)
    raise ValueError(f"unsupported .npy version {version}")


def read_npy_rows(path: Path, start: int, stop: int, shape: tuple, dtype: np.dtype) -> np.ndarray:
    """Rows [start, stop) of a row-major .npy file, reading only those rows."""
    with open(path, "rb") as fh:
        try:
            file_shape, fortran, file_dtype = _npy_header(fh)
        except ValueError as exc:
            raise ValueError(f"{path}: {exc}") from None
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


def _read_small_npy(path: Path, what: str) -> np.ndarray:
    """A whole .npy file of plain values (an axis or a benchmark series), after checking
    that it is a regular file whose size is what its header announces."""
    with regular_file(path, what) as fh:
        size = os.fstat(fh.fileno()).st_size
        if size > _SMALL_FILE_MAX_BYTES:
            raise ValueError(f"{what}: {path} is {size:,} bytes, more than an axis or series can be")
        try:
            shape, fortran, dtype = _npy_header(fh)
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


class AxisCache:
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
            named = AXIS_NAME.match(path.name)
            if named and axis_digest(array) != named.group(1):
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
            # Axis files are named by the checksum of their content, which every read
            # compares: a name found to hold real dates once holds them for good.
            named = AXIS_NAME.match(Path(rel).name)
            if not (named and named.group(1) in _CALENDAR_CHECKED):
                days = pd.to_datetime(pd.Series(out, copy=False), format="%Y%m%d", errors="coerce")
                if len(out) and days.isna().any():
                    bad = out[days.isna().to_numpy()][0]
                    raise ValueError(f"{what}: the date axis {rel} holds {bad!r}, which is no calendar date (damaged)")
                if named:
                    _CALENDAR_CHECKED.add(named.group(1))
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


def _int(value: object) -> int:
    if type(value) is not int or value < 0:
        raise ValueError
    return value


class Stored:
    """One stored dataset, opened and checked: its dtype, axes, capacity, extents and
    its rows as one read-only (rows, capacity) array (mapped, not read)."""

    def __init__(self, store: Any, key: str, desc: object, axes: AxisCache,
                 mmap: bool = True, check: bool = False):
        what = f"dataset {key!r}"
        self.key, self.what = key, what
        malformed = ValueError(f"{store.metadata_path}: {what} has a malformed descriptor")
        if not isinstance(desc, Mapping):
            raise malformed
        try:
            shape = tuple(_int(n) for n in desc["shape"])
            self.dtype = np.dtype(desc["dtype"])
            file_rel, index_rel, columns_rel = desc["file"], desc["index"], desc["columns"]
            self.legacy = desc.get("layout") != LAYOUT
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
        self.fill = fill_value(key, self.dtype)
        if self.legacy:
            # A dataset of the oldest layout (one .npy file) was written without a
            # checksum: its header and size are all there is to check.
            self.capacity = self.cols
            self._open_legacy(mmap)
        else:
            self._open_log(store, mmap, check)

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

    def _open_log(self, store, mmap: bool, check: bool) -> None:
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
        # Every extent was appended past all earlier ones: their bytes never overlap.
        spans = sorted(extent_span(o, f, w, self.row_bytes) for f, _, o, w, _ in self.extents)
        if any(a[1] > b[0] for a, b in zip(spans, spans[1:])) or (spans and spans[0][0] < HEADER_BYTES):
            raise ValueError(f"{store.metadata_path}: the extents of {self.what} overlap in {self.path.name}")
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
            if check:
                self._check_extents(fd, store.store_dir, mapped=self.array)
        finally:
            os.close(fd)

    def check(self, store_dir, from_row: int = 0) -> None:
        """Compares the extents holding rows from `from_row` on with their checksums:
        before rows are copied into a new version, so that damage is never sealed with
        a new checksum."""
        if self.legacy:
            return
        fd = open_regular(self.path, self.what)
        try:
            self._check_extents(fd, store_dir, from_row)
        finally:
            os.close(fd)

    def unverified(self, fd: int, from_row: int = 0) -> list[tuple]:
        """The extents (holding rows from `from_row` on) not yet found whole in this
        version of the file, each as (key, first, count, offset, written, digest)."""
        stamp = checksums.file_stamp(fd)
        todo = []
        for first, count, offset, written, digest in self.extents:
            if first + count <= from_row:
                continue
            key = (stamp, offset, first * self.row_bytes % PAGE, written * self.row_bytes, digest)
            if not checksums.already_verified(key):
                todo.append((key, first, count, offset, written, digest))
        return todo

    def _check_extents(self, fd: int, store_dir, from_row: int = 0, mapped: np.ndarray | None = None) -> None:
        """Compares every extent (holding rows from `from_row` on) with its recorded
        checksum, reading the file through a mapping of its own, or through `mapped`,
        the dataset's mapping, when that holds exactly the one extent's bytes; an extent
        already found whole in this version of the file is not read again."""
        checksums.wait_ahead(store_dir)
        todo = self.unverified(fd, from_row)
        if not todo:
            return
        if mapped is not None and len(self.extents) == 1 and len(todo) == 1:
            _, first, _, _, written, digest = todo[0]
            if first == 0 and written * self.row_bytes == mapped.nbytes and mapped.flags.c_contiguous:
                # The bytes handed out are the ones hashed, and the pages mapped for
                # the hash serve the reads that follow instead of being mapped twice.
                self._compare(todo, self._digests([mapped.reshape(-1).view(np.uint8)], todo, store_dir), store_dir)
                return
        own = _mmap.mmap(fd, self.file_end, access=_mmap.ACCESS_READ)
        try:
            with memoryview(own) as view:
                # All extents are hashed in one call, their bytes shared out among the
                # threads; the parts are released as soon as they are hashed, so that
                # no export of the mapping outlives this block.
                parts = [view[slice(*extent_span(offset, first, written, self.row_bytes))]
                         for _, first, _, offset, written, _ in todo]
                try:
                    found = self._digests(parts, todo, store_dir)
                finally:
                    for part in parts:
                        part.release()
            self._compare(todo, found, store_dir)
        finally:
            try:
                own.close()
            except BufferError:
                # A buffer of the mapping is still held somewhere (an exception's
                # frame, say): the mapping then closes when the last one goes. The
                # check itself has finished either way; this must not fail the load.
                pass

    def _digests(self, parts: list, todo: list, store_dir) -> list[str]:
        try:
            return checksums.digests_of(parts, [item[5] for item in todo])
        except ValueError as exc:  # not a checksum this store writes
            raise checksums.corrupt(self.what, store_dir, str(exc)) from None

    def _compare(self, todo: list, found: list, store_dir) -> None:
        """Each extent's checksum against its record: the first that differs fails the
        load; those before it are remembered as verified."""
        for (key, first, count, _, _, digest), got in zip(todo, found):
            if got != digest:
                raise checksums.corrupt(
                    self.what, store_dir,
                    f"rows {self.dates[first]}..{self.dates[first + count - 1]} of {self.path.name} "
                    "do not match their checksum",
                )
            checksums.remember_verified(key)

    def values(self, lo: int, hi: int, mmap: bool) -> np.ndarray:
        """Rows [lo, hi) over the stock columns: a view of the mapping, or a copy."""
        if hi <= lo or self.rows == 0:
            return np.empty((0, self.cols), dtype=self.dtype)
        if mmap and self.array is not None:
            return self.array[lo:hi, : self.cols]
        if self.legacy:
            return read_npy_rows(self.path, lo, hi, (self.rows, self.cols), self.dtype)
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
                try:
                    found = extent_checksum(fd, offset, first, written, self.row_bytes, digest)
                except ValueError as exc:
                    raise ValueError(f"{self.path.name}: {exc} (damaged)") from None
                if found != digest:
                    raise ValueError(
                        f"rows {self.dates[first]}..{self.dates[first + count - 1]} of {self.path.name} "
                        "do not match their checksum (damaged)"
                    )
        finally:
            os.close(fd)


class StoredSeries(NamedTuple):
    """A stored benchmark series: its values, its dates, the files holding them, its name."""

    values: np.ndarray
    dates: np.ndarray
    values_rel: str
    index_rel: str
    name: object


def load_from(store, metadata: dict, start, end, keys, mmap: bool, check: bool = True) -> dict:
    """The datasets `keys` of `store` (all recorded ones when None) over start..end, as `load` returns them."""
    check_version(store, metadata)
    datasets = metadata.get("datasets", {})
    if keys is None:
        keys = [k for k in store.matrix_dtype if k in datasets] + [k for k in datasets if k not in store.matrix_dtype]
    for key in keys:
        if key not in datasets and key != "benchmark_dict":
            raise KeyError(f"dataset {key!r} is not in the store {str(store.store_dir)!r}")
    axes = AxisCache(store.store_dir)
    data: dict[str, Any] = {}
    for key in keys:
        if key in datasets:
            data[key] = load_dataset(store, key, datasets[key], start, end, mmap, axes, check)
        else:
            data[key] = load_benchmarks(store, metadata, start, end, axes, check)
    return {"version": metadata.get("version", store.version), "meta": metadata.get("meta", {}), "data": data}


def load_dataset(store, key, desc, start, end, mmap, axes: AxisCache, check: bool = True) -> pd.DataFrame:
    stored = Stored(store, key, desc, axes, mmap, check)
    lo, hi = date_bounds(stored.dates, start, end)
    values = stored.values(lo, hi, mmap)
    index = axes.index(stored.index_rel, stored.what, lo, hi, desc.get("index_name"))
    columns = axes.index(stored.columns_rel, stored.what, name=desc.get("columns_name"))
    return pd.DataFrame(values, index=index, columns=columns, copy=False)


def stored_series(store, name, desc, axes: AxisCache, check: bool = False) -> StoredSeries:
    """A stored benchmark series, its descriptor and axis checked (with `check`, also its
    file against its checksum, once per file version and process)."""
    what = f"benchmark {name!r}"
    try:
        values_rel, index_rel, series_name = desc["values"], desc["index"], desc["name"]
    except (KeyError, TypeError):
        raise ValueError(f"{store.metadata_path}: {what} has a malformed descriptor") from None
    if check:
        check_series_file(store, name, desc, axes.path(values_rel, what))
    values = axes.array(values_rel, what)
    dates = axes.dates(index_rel, what)
    if values.ndim != 1 or len(values) != len(dates):
        raise ValueError(f"{store.metadata_path}: the values and dates of {what} do not match")
    return StoredSeries(values, dates, values_rel, index_rel, series_name)


def check_series_file(store, name, desc: Mapping, path: Path) -> None:
    """Compares a benchmark file with its checksum; a StoreCorruptError when they differ."""
    what = f"benchmark {name!r}"
    with regular_file(path, what) as fh:
        key = (checksums.file_stamp(fh.fileno()), str(name), desc.get("checksum"), desc.get("sha256"))
        if checksums.already_verified(key):
            return
        size = os.fstat(fh.fileno()).st_size
        if size > _SMALL_FILE_MAX_BYTES:
            raise ValueError(f"{what}: {path} is {size:,} bytes, more than a series can be")
        content = fh.read()
    problem = checksums.series_problem(name, desc, content)
    if problem is not None:
        raise checksums.corrupt(what, store.store_dir, f"{path.name}: {problem}")
    checksums.remember_verified(key)


def load_benchmarks(store, metadata: dict, start, end, axes: AxisCache, check: bool = True) -> dict:
    out = {}
    for name, desc in metadata.get("benchmarks", {}).items():
        stored = stored_series(store, name, desc, axes, check)
        lo, hi = date_bounds(stored.dates, start, end)
        index = axes.index(stored.index_rel, f"benchmark {name!r}", lo, hi, desc.get("index_name"))
        out[name] = pd.Series(stored.values[lo:hi], index=index, name=stored.name, copy=False)
    return out
