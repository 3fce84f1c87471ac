"""Maintenance of a store: `compact` rewrites datasets held in several extents as one,
`verify` reads everything back against its checksums."""

from __future__ import annotations

import pickle

import numpy as np

from tessary.store import checksums
from tessary.store.files import HEADER_BYTES, PAGE, fsync_dir, page_ceil, regular_file, writer_lock
from tessary.store.layout import spare_columns
from tessary.store.metadata import check_version, read_metadata
from tessary.store.reading import AxisCache, Stored, stored_series
from tessary.store.writing import commit, open_data_dir, sync_logs, write_log


def compact(store) -> int:
    """Rewrites every dataset held in more than one extent (or in the layout of an
    older version) as one extent in a fresh file, and returns how many were
    rewritten. Loads need no compaction; it only reclaims the space of replaced
    rows and keeps the number of mappings per load low. Crash-safe like an update:
    killed at any moment, the store loads whole, and earlier loads keep their data."""
    with writer_lock(store.store_dir):
        metadata = read_metadata(store.metadata_path)
        if metadata is None:
            return 0
        datasets = dict(metadata.get("datasets", {}))
        axes = AxisCache(store.store_dir)
        data_dir = open_data_dir(store.store_dir)
        written: set = set()
        done = 0
        for key, desc in list(datasets.items()):
            stored = Stored(store, key, desc, axes)
            live = HEADER_BYTES + page_ceil(stored.rows * stored.row_bytes)
            if not stored.legacy and len(stored.extents) <= 1 and stored.file_end <= live + PAGE:
                continue
            stored.check(store.store_dir)
            old = stored.full_rows()
            capacity = stored.capacity if not stored.legacy else stored.cols + spare_columns(stored.cols)

            def block(r0, r1, old=old, stored=stored, capacity=capacity):
                out = np.full((r1 - r0, capacity), stored.fill, dtype=stored.dtype)
                out[:, : stored.cols] = old[r0:r1, : stored.cols]
                return out

            entry = write_log(data_dir, key, stored.dtype, stored.rows, capacity, block, written)
            datasets[key] = {**desc, **entry}
            done += 1
        if done:
            sync_logs(data_dir, written)
            fsync_dir(data_dir)
            commit(store, {**metadata, "datasets": datasets})
        return done


def verify(store) -> list[str]:
    """Checks the whole store: the metadata, every file it names (present, regular,
    of the recorded size) and every checksum (all data bytes are read). Returns one
    line per damaged dataset or benchmark, naming it; an empty list means whole. A
    directory without metadata, or with metadata this version cannot read (malformed,
    of an unknown format or prepared-data version), is reported as damaged too."""
    try:
        metadata = read_metadata(store.metadata_path)
        if metadata is not None:
            check_version(store, metadata)
    except (ValueError, OSError, pickle.UnpicklingError) as exc:
        return [f"metadata: {exc}"]
    if metadata is None:
        return [f"metadata: {store.metadata_path} is missing (not a store, or one whose metadata was lost)"]
    problems = []
    axes = AxisCache(store.store_dir)
    for key, desc in metadata.get("datasets", {}).items():
        try:
            Stored(store, key, desc, axes, mmap=False).verify()
        except _DAMAGE as exc:
            problems.append(f"dataset {key!r}: {exc}")
    for name, desc in metadata.get("benchmarks", {}).items():
        try:
            values_rel = stored_series(store, name, desc, axes).values_rel
            with regular_file(axes.path(values_rel, name), f"benchmark {name!r}") as fh:
                problem = checksums.series_problem(name, desc, fh.read())
            if problem is not None:
                raise ValueError(f"{values_rel}: {problem} (damaged)")
        except _DAMAGE as exc:
            problems.append(f"benchmark {name!r}: {exc}")
    return problems


#: What a damaged descriptor or file raises while it is checked.
_DAMAGE = (ValueError, OSError, TypeError, KeyError, IndexError, AttributeError)
