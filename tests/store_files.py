"""What a store directory holds on disk, for tests that check nothing changed."""

from __future__ import annotations

import os


def snapshot(root):
    """Every file of a store with its bytes: equal snapshots mean nothing changed."""
    out = {}
    for dirpath, _, files in os.walk(root):
        for name in files:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as fh:
                out[os.path.relpath(path, root)] = fh.read()
    return out
