"""Merging a payload into a store at the cost of what it touches: replaced and new rows
go into a new extent past the committed end of a dataset's log, new stock codes into its
spare columns, and benchmark series are rewritten merged."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from tessary.store.files import PAGE, LogWriter, fsync_dir, page_floor, writer_lock
from tessary.store.layout import MAX_EXTENTS, MERGE_ROWS, spare_columns
from tessary.store.metadata import check_version, read_metadata
from tessary.store.plan import MatrixPlan, SeriesPlan
from tessary.store.reading import AxisCache, Stored, StoredSeries, stored_series
from tessary.store.writing import (
    blocks,
    commit,
    describe,
    open_data_dir,
    sync_logs,
    write_log,
    write_plan,
    write_series,
    write_whole,
)


def update(store, plans: list[MatrixPlan], series: list[SeriesPlan], meta: dict) -> None:
    """Merges checked plans into `store` and commits (see `update_payload` of the store)."""
    with writer_lock(store.store_dir):
        metadata = read_metadata(store.metadata_path)
        if metadata is None or not (metadata.get("datasets") or metadata.get("benchmarks")):
            write_whole(store, plans, series, meta)
            return
        check_version(store, metadata)
        old_sets, old_bench = metadata.get("datasets", {}), metadata.get("benchmarks", {})
        axes = AxisCache(store.store_dir)
        work = []
        for plan in plans:
            stored = Stored(store, plan.key, old_sets[plan.key], axes) if plan.key in old_sets else None
            if stored is not None and stored.dtype != plan.dtype:
                raise ValueError(
                    f"dataset {plan.key!r} is stored as {stored.dtype.name}, the update would write "
                    f"{plan.dtype.name}; rebuild the store to change a dtype"
                )
            work.append((plan, stored))
        bench_work = [
            (s, stored_series(store, s.name, old_bench[s.name], axes) if s.name in old_bench else None)
            for s in series
        ]
        data_dir = open_data_dir(store.store_dir)
        written: set = set()
        datasets, benchmarks = dict(old_sets), dict(old_bench)
        for plan, stored in work:
            if stored is None:
                datasets[plan.key] = write_plan(data_dir, plan, written)
            else:
                datasets[plan.key] = update_dataset(data_dir, plan, stored, written)
        for s, stored in bench_work:
            benchmarks[s.name] = write_series(data_dir, merged_series(s, stored), written)
        sync_logs(data_dir, written)
        fsync_dir(data_dir)
        new_meta = dict(metadata.get("meta", {}))
        new_meta.update(meta)
        commit(store, {**metadata, "meta": new_meta, "datasets": datasets, "benchmarks": benchmarks})


def update_dataset(data_dir: Path, plan: MatrixPlan, stored: Stored, written: set) -> dict:
    if len(plan.dates) == 0:
        return stored.desc
    if stored.rows == 0:
        return write_plan(data_dir, plan, written)
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
    rewrite = stored.legacy or cols > stored.capacity or len(stored.extents) >= MAX_EXTENTS
    capacity = cols + spare_columns(cols) if stored.legacy or cols > stored.capacity else stored.capacity
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
        while kept and kept[-1][1] < rows - start and rows - kept[-1][0] <= MERGE_ROWS:
            start = kept.pop()[0]
        rewrite = start == 0
    # The stored rows copied into the new version (from row `start` on, and the page
    # before it) are checked first, so that damage is never sealed with a new checksum.
    first_copied = 0 if rewrite else max(0, start - PAGE // max(1, stored.row_bytes) - 1)
    stored.check(data_dir.parent, first_copied)
    if rewrite:
        entry = write_log(data_dir, plan.key, plan.dtype, rows, capacity, block, written)
    else:
        row_bytes = stored.row_bytes
        flat = old.reshape(-1).view(np.uint8)
        prefix = bytes(flat[page_floor(start * row_bytes) : start * row_bytes])
        writer = LogWriter(stored.path, False, None, stored.file_end)
        try:
            offset, _, digest = writer.append_extent(start, row_bytes, prefix,
                                                     blocks(block, start, rows, row_bytes))
        finally:
            writer.close(sync=False)
        written.add(stored.path.name)
        entry = {key: stored.desc[key] for key in ("layout", "file", "file_id", "capacity")}
        entry.update(file_end=writer.end, extents=kept + [[start, rows - start, offset, rows - start, digest]])
    return describe(entry, dates, codes, plan.dtype, names, data_dir, written)

# -- maintenance -------------------------------------------------------------


def merged_series(plan: SeriesPlan, stored: StoredSeries | None) -> SeriesPlan:
    """A benchmark series after an update: stored values before the payload's first
    date, then the union of later dates, the payload's values where it has them."""
    if stored is None or len(plan.dates) == 0 or len(stored.dates) == 0:
        return plan if stored is None or len(plan.dates) else SeriesPlan(plan.name, stored.name, stored.values, stored.dates, plan.index_name)
    values, dates = stored.values, stored.dates
    a = int(np.searchsorted(dates, plan.dates[0], side="left"))
    merged = np.union1d(dates[a:], plan.dates).astype("<U8")
    out = np.empty(len(merged), dtype=plan.values.dtype)
    pos_old = np.searchsorted(dates, merged)
    in_old = (pos_old < len(dates)) & (dates[np.minimum(pos_old, len(dates) - 1)] == merged)
    out[in_old] = values[pos_old[in_old]]
    pos_new = np.searchsorted(plan.dates, merged)
    in_new = (pos_new < len(plan.dates)) & (plan.dates[np.minimum(pos_new, len(plan.dates) - 1)] == merged)
    out[in_new] = plan.values[pos_new[in_new]]
    return SeriesPlan(plan.name, plan.series_name, np.concatenate([values[:a].astype(out.dtype), out]),
                       np.concatenate([dates[:a], merged]).astype("<U8"), plan.index_name)
