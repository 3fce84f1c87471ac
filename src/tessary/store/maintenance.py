"""Maintenance of a store: `compact` rewrites datasets held in several extents as one,
`verify` reads everything back against its checksums."""

from __future__ import annotations

import hashlib
import pickle

import numpy as np

from tessary.store.files import HEADER_BYTES, PAGE, fsync_dir, page_ceil, regular_file, writer_lock
from tessary.store.layout import spare_columns
from tessary.store.metadata import read_metadata
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
    line per damaged dataset or benchmark, naming it; an empty list means whole."""
    try:
        metadata = read_metadata(store.metadata_path)
    except (ValueError, OSError, pickle.UnpicklingError) as exc:
        return [f"metadata: {exc}"]
    if metadata is None:
        return []
    problems = []
    axes = AxisCache(store.store_dir)
    for key, desc in metadata.get("datasets", {}).items():
        try:
            Stored(store, key, desc, axes, mmap=False).verify()
        except (ValueError, OSError) as exc:
            problems.append(f"dataset {key!r}: {exc}")
    for name, desc in metadata.get("benchmarks", {}).items():
        try:
            values_rel = stored_series(store, name, desc, axes).values_rel
            digest = desc.get("sha256")
            if digest is not None:
                with regular_file(axes.path(values_rel, name), f"benchmark {name!r}") as fh:
                    if hashlib.sha256(fh.read()).hexdigest() != digest:
                        raise ValueError(f"{values_rel} does not match its checksum (damaged)")
        except (ValueError, OSError) as exc:
            problems.append(f"benchmark {name!r}: {exc}")
    return problems

