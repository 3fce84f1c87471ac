"""Stores on disk for the tests: one whose datasets each have two extents, and what a
store directory holds, for tests that check nothing changed."""

from __future__ import annotations

import os


def two_extent_store(directory, dtypes, payload):
    """A float64 store of ``dtypes`` written from ``payload(0, 20)`` and updated from
    ``payload(18, 30, seed=1)``: every dataset in two extents."""
    from tessary.store import BinaryPreparedDataStoreBase

    store = BinaryPreparedDataStoreBase(directory, dtypes, 1, "float64")
    store.write_payload(payload(0, 20))
    store.update_payload(payload(18, 30, seed=1))
    return store


def snapshot(root):
    """Every file of a store with its bytes: equal snapshots mean nothing changed."""
    out = {}
    for dirpath, _, files in os.walk(root):
        for name in files:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as fh:
                out[os.path.relpath(path, root)] = fh.read()
    return out
