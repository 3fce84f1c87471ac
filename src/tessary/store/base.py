"""The store's facade: one object per store directory, its public methods delegating to
the modules of the package (plan, reading, writing, merging, maintenance)."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any

from tessary.store import maintenance, merging, reading, writing
from tessary.store.dates import normalize_yyyymmdd
from tessary.store.files import writer_lock
from tessary.store.metadata import check_version, plain_pickle, read_metadata, write_manifest
from tessary.store.plan import plan_payload, storage_dtype


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
            storage_dtype(dtype)
        plain_pickle(version, "the store version")
        if storage_dtype(float_dtype).kind != "f":
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
    # -- metadata ----------------------------------------------------------------

    def _read_metadata(self) -> dict | None:
        """The metadata dict, or None when the store holds nothing yet."""
        return read_metadata(self.metadata_path)

    def load_metadata(self) -> dict:
        """The store's metadata as a new dict (empty for a store that holds nothing)."""
        metadata = self._read_metadata()
        return {} if metadata is None else metadata

    # -- reading -----------------------------------------------------------------

    def load(self, start_date=None, end_date=None, keys=None, mmap=True, check=True) -> dict | None:
        """The datasets named in `keys` (all recorded ones when None) as date x stock
        DataFrames restricted to the inclusive date range, in a dict with "version",
        "meta" and "data"; None when the store holds nothing.

        With `mmap` true the values are read-only memory maps of the store's files;
        otherwise in-memory copies. Only the rows of the date range are read. The key
        "benchmark_dict" gives the benchmark dictionary over the same range.

        With `check` true (the default) every file a dataset or benchmark is read from
        is compared with its checksums, once per version of the file in this process
        (later loads of the same files cost nothing); damage raises StoreCorruptError
        naming the dataset. `check=False` skips that comparison, not the others.
        """
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)
        if keys is not None:
            if not isinstance(keys, (list, tuple)):
                raise TypeError(f"keys must be a list of dataset keys or None, got {type(keys).__name__}")
            for key in keys:
                if not isinstance(key, str):
                    raise TypeError(f"dataset keys must be str, got {key!r}")
        return self._retrying(lambda metadata: reading.load_from(self, metadata, start, end, keys, bool(mmap), bool(check)))

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

    def load_benchmark_dict(self, start_date=None, end_date=None, check=True) -> dict:
        """The stored benchmark dictionary (name -> daily return Series), each series
        restricted to the inclusive date range; empty when nothing is stored. `check` as
        for `load`."""
        start, end = normalize_yyyymmdd(start_date), normalize_yyyymmdd(end_date)

        def read(metadata):
            check_version(self, metadata)
            return reading.load_benchmarks(self, metadata, start, end, reading.AxisCache(self.store_dir), bool(check))

        out = self._retrying(read)
        return {} if out is None else out

    # -- writing -----------------------------------------------------------------

    def _write_matrix(self, store_dir, key, matrix, dtype) -> dict:
        """Writes one date x stock matrix as dataset `key` in storage dtype `dtype` and
        returns its descriptor. The dataset becomes part of the store only when a
        metadata file that records the descriptor replaces the current one."""
        return writing.write_matrix(store_dir, key, matrix, dtype)

    def _write_manifest(self, store_dir, metadata: dict) -> None:
        """Rewrites manifest.json, a readable summary of the complete metadata dict."""
        write_manifest(store_dir, metadata, self.version)

    def write_payload(self, payload: Mapping) -> None:
        """Replaces what the store holds by a whole payload ({"version", "meta",
        "data"}): every dataset of "data" that the dtype map names, the
        "benchmark_dict" and the "meta".

        All input is checked before anything is written. The new files are written
        and synced first; replacing the metadata file then switches the store to the
        new payload in one step, so an interruption at any moment leaves either the
        previous payload or the new one, whole.
        """
        plans, series, meta = plan_payload(self, payload)
        with writer_lock(self.store_dir):
            writing.write_whole(self, plans, series, meta)

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
        plans, series, meta = plan_payload(self, payload)
        merging.update(self, plans, series, meta)

    # -- maintenance -------------------------------------------------------------

    def compact(self) -> int:
        """Rewrites every dataset held in more than one extent (or in the layout of an
        older version) as one extent in a fresh file, and returns how many were
        rewritten. Loads need no compaction; it only reclaims the space of replaced
        rows and keeps the number of mappings per load low. Crash-safe like an update:
        killed at any moment, the store loads whole, and earlier loads keep their data."""
        return maintenance.compact(self)

    def verify(self) -> list[str]:
        """Checks the whole store: the metadata, every file it names (present, regular,
        of the recorded size) and every checksum (all data bytes are read). Returns one
        line per damaged dataset or benchmark, naming it; an empty list means whole."""
        return maintenance.verify(self)
