"""Checking a store's files ahead of a load, on a thread of its own.

A caller that knows which datasets it is about to load, and has other work to do
first (``run_backtest`` takes its weights apart before it loads the market), starts
their check here: the unverified extents are hashed on a background thread (the native
hash releases the GIL) while the caller goes on. A load of the same store waits for
that check before its own, which then finds the matching extents verified and hashes
nothing. The ahead check never raises and never decides anything: an extent that does
not match is simply left unverified, so the load hashes it again and reports the
damage itself, with its usual error.
"""

from __future__ import annotations

import mmap as _mmap
import os
import threading
from typing import Any

from tessary.store import checksums, reading
from tessary.store.files import extent_span


def _open_unverified(store: Any, keys: list[str]) -> list[tuple]:
    """Per dataset with unverified extents: (mapping, its parts, the extents)."""
    metadata = store._read_metadata()
    if not metadata:
        return []
    datasets = metadata.get("datasets", {})
    axes = reading.AxisCache(store.store_dir)
    opened = []
    for key in dict.fromkeys(keys):
        if key not in datasets:
            continue
        stored = reading.Stored(store, key, datasets[key], axes, mmap=False, check=False)
        if stored.legacy:
            continue
        fd = reading.open_regular(stored.path, stored.what)
        try:
            todo = stored.unverified(fd)
            if not todo:
                continue
            mapping = _mmap.mmap(fd, stored.file_end, access=_mmap.ACCESS_READ)
        finally:
            os.close(fd)
        view = memoryview(mapping)
        parts = [view[slice(*extent_span(offset, first, written, stored.row_bytes))]
                 for _, first, _, offset, written, _ in todo]
        opened.append((mapping, view, parts, todo))
    return opened


def _hash(opened: list[tuple]) -> None:
    """Hashes every part in one call and remembers the extents found whole."""
    try:
        parts = [part for _, _, dataset_parts, _ in opened for part in dataset_parts]
        todo = [item for _, _, _, dataset_todo in opened for item in dataset_todo]
        # One thread: the caller goes on with its own work on the other core.
        found = checksums.digests_of(parts, [item[5] for item in todo], threads=1)
        for (key, *_, digest), got in zip(todo, found):
            if got == digest:
                checksums.remember_verified(key)
    finally:
        for mapping, view, dataset_parts, _ in opened:
            for part in dataset_parts:
                part.release()
            view.release()
            try:
                mapping.close()
            except BufferError:  # an export still alive closes the mapping when it goes
                pass


def check_ahead(store: Any, keys: list[str]) -> None:
    """Starts checking the datasets `keys` of `store` on a background thread; the next
    load of the store waits for it. Does nothing when a check of the store is running
    already, and never raises (a store the check cannot open is the load's to report)."""
    event = checksums.ahead_started(store.store_dir)
    if event is None:
        return
    try:
        opened = _open_unverified(store, keys)
    except Exception:  # the load that follows reports what is wrong with the store
        opened = []
    if not opened:
        checksums.ahead_finished(store.store_dir, event)
        return

    def run() -> None:
        try:
            _hash(opened)
        except Exception:  # the load hashes again what is left unverified
            pass
        finally:
            checksums.ahead_finished(store.store_dir, event)

    threading.Thread(target=run, name="tessary-check-ahead", daemon=True).start()
