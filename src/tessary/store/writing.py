"""Writing a store: fresh log files, benchmark series and axes, all synced before the
metadata file is replaced (the commit); then what the metadata no longer names is unlinked."""

from __future__ import annotations

import contextlib
import io
import os
import secrets
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd

from tessary.store import checksums
from tessary.store.files import COPY_CHUNK_BYTES, LogWriter, fsync_dir, log_header, write_atomically, writer_lock
from tessary.store.layout import (
    DATA_DIR,
    LAYOUT,
    STORE_FORMAT,
    TMP_MARK,
    axis_digest,
    fill_value,
    safe_file_stem,
    spare_columns,
)
from tessary.store.metadata import SEALED_KEY, plain_pickle, write_manifest, write_metadata_file
from tessary.store.plan import MatrixPlan, SeriesPlan, plan_matrix


def open_data_dir(root: Path) -> Path:
    """The data directory of the store at `root`, created (and its entry synced) when missing."""
    data_dir = root / DATA_DIR
    if not data_dir.is_dir():
        data_dir.mkdir(parents=True, exist_ok=True)
        fsync_dir(root)
    return data_dir


def write_axis(data_dir: Path, labels: np.ndarray, written: set) -> str:
    """Stores an axis under a name derived from its content (once per content)."""
    name = f"axis-{axis_digest(labels)}.npy"
    if name not in written and not (data_dir / name).is_file():
        write_atomically(
            data_dir / name, lambda fh: np.lib.format.write_array(fh, labels, allow_pickle=False), sync_dir=False
        )
    written.add(name)
    return f"{DATA_DIR}/{name}"


def write_log(data_dir: Path, key: str, dtype: np.dtype, rows: int, capacity: int,
              block: Callable[[int, int], np.ndarray], written: set) -> dict:
    """A fresh log file holding rows [0, rows) of `block` as one extent; returns the
    file and extent entries of the descriptor."""
    file_id = secrets.token_hex(8)
    name = f"{safe_file_stem(key)}-{file_id}.log"
    writer = LogWriter(data_dir / name, True, log_header(key, file_id, dtype, capacity), 0)
    written.add(name)
    try:
        extents = []
        if rows:
            offset, _, digest = writer.append_extent(0, capacity * dtype.itemsize, b"",
                                                     blocks(block, 0, rows, capacity * dtype.itemsize))
            extents.append([0, rows, offset, rows, digest])
    finally:
        writer.close(sync=False)  # synced with the others before the commit (sync_logs)
    return {"layout": LAYOUT, "file": f"{DATA_DIR}/{name}", "file_id": file_id, "file_end": writer.end,
            "capacity": capacity, "extents": extents}


def describe(plan_like: dict, dates: np.ndarray, codes: np.ndarray, dtype: np.dtype, names: dict,
             data_dir: Path, written: set) -> dict:
    rows = len(dates)
    return {
        **plan_like,
        "dtype": dtype.name,
        "shape": [int(rows), int(len(codes))],
        "index": write_axis(data_dir, dates, written),
        "columns": write_axis(data_dir, codes, written),
        "start_date": str(dates[0]) if rows else None,
        "end_date": str(dates[-1]) if rows else None,
        **names,
    }


def write_plan(data_dir: Path, plan: MatrixPlan, written: set) -> dict:
    cols = plan.values.shape[1]
    capacity = cols + spare_columns(cols)
    fill = fill_value(plan.key, plan.dtype)

    def block(r0, r1):
        out = np.full((r1 - r0, capacity), fill, dtype=plan.dtype)
        out[:, :cols] = plan.values[r0:r1]
        return out

    entry = write_log(data_dir, plan.key, plan.dtype, len(plan.dates), capacity, block, written)
    return describe(entry, plan.dates, plan.codes, plan.dtype, plan.names, data_dir, written)


def write_series(data_dir: Path, plan: SeriesPlan, written: set) -> dict:
    name = f"benchmark-{safe_file_stem(plan.name)}-{secrets.token_hex(8)}.npy"
    blob = io.BytesIO()
    np.lib.format.write_array(blob, plan.values, allow_pickle=False)
    write_atomically(data_dir / name, lambda fh: fh.write(blob.getvalue()), sync_dir=False)
    written.add(name)
    n = len(plan.values)
    return {
        "values": f"{DATA_DIR}/{name}",
        "checksum": checksums.series_digest(plan.name, blob.getvalue()),
        "index": write_axis(data_dir, plan.dates, written),
        "name": plan.series_name,
        "dtype": plan.values.dtype.name,
        "length": int(n),
        "start_date": str(plan.dates[0]) if n else None,
        "end_date": str(plan.dates[-1]) if n else None,
        "index_name": plan.index_name,
    }


def write_matrix(store_dir, key, matrix, dtype) -> dict:
    """Writes one date x stock matrix as dataset `key` in storage dtype `dtype` and
    returns its descriptor. The dataset becomes part of the store only when a
    metadata file that records the descriptor replaces the current one."""
    plan = plan_matrix(key, matrix, dtype)
    root = Path(store_dir).expanduser()
    with writer_lock(root):  # refused while an update or compaction runs
        data_dir = open_data_dir(root)
        written: set = set()
        descriptor = write_plan(data_dir, plan, written)
        sync_logs(data_dir, written)
        fsync_dir(data_dir)
    return descriptor


def commit(store, metadata: dict) -> None:
    """Commits `metadata` (the rename of the metadata file), then the manifest, then
    unlinks what no longer belongs to the store."""
    metadata["format"] = STORE_FORMAT
    metadata["updated_at"] = pd.Timestamp.now().isoformat()
    metadata[SEALED_KEY] = "crc32c"
    write_metadata_file(store.metadata_path, plain_pickle(metadata, "store metadata"))
    write_manifest(store.store_dir, metadata, store.version)
    remove_unreferenced(store.store_dir, metadata)


def remove_unreferenced(store_dir: Path, metadata: dict) -> None:
    """Deletes files of the data directory that the metadata does not reference
    (earlier versions, writes that were interrupted) and stale temporary files.
    Unlinked, never truncated: a reader that mapped one keeps its data."""
    referenced = set()
    for group, fields in (("datasets", ("file", "index", "columns")), ("benchmarks", ("values", "index"))):
        for desc in metadata.get(group, {}).values():
            referenced.update(desc.get(f) for f in fields)
    for directory, keep in ((store_dir / DATA_DIR, True), (store_dir, False)):
        with os.scandir(directory) as entries:
            for entry in entries:
                if not entry.is_file(follow_symlinks=False):
                    continue
                stale_tmp = entry.name.startswith(".") and TMP_MARK in entry.name
                unreferenced = keep and f"{DATA_DIR}/{entry.name}" not in referenced
                if stale_tmp or unreferenced:
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(entry.path)


def write_whole(store, plans, series, meta) -> None:
    """Writes the planned datasets and series as the whole new content of `store` and commits it."""
    data_dir = open_data_dir(store.store_dir)
    written: set = set()
    datasets = {plan.key: write_plan(data_dir, plan, written) for plan in plans}
    benchmarks = {plan.name: write_series(data_dir, plan, written) for plan in series}
    sync_logs(data_dir, written)
    fsync_dir(data_dir)
    commit(store, {"version": store.version, "meta": meta, "datasets": datasets, "benchmarks": benchmarks})


def sync_logs(data_dir: Path, names: set) -> None:
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


def blocks(block: Callable[[int, int], np.ndarray], lo: int, hi: int, row_bytes: int):
    """Rows [lo, hi) of `block`, a bounded number of bytes at a time."""
    step = max(1, COPY_CHUNK_BYTES // max(1, row_bytes))
    for r0 in range(lo, hi, step):
        yield block(r0, min(hi, r0 + step))
