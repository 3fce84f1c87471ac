"""Derived matrices of a market that many strategy calls share: the daily total
return and its trailing sums, which the built-in strategies of a sweep compute
again for every set of parameters, are kept for the next call on the same market.

Only markets whose inputs cannot change are remembered: every array read must be a
read-only view of a read-only file map (the store's frames as a sweep opens them),
and an entry holds those arrays, so that their memory stays mapped and no other
data can appear at the same addresses while the entry lives. Frames built in
memory (which their owner may change in place) are computed afresh on every call.
The kept results are read-only arrays; a few of each kind are kept, the least
recently used going first. Safe to use from several threads: a thread that needs
an entry another thread is computing waits for it."""

from __future__ import annotations

import mmap
import threading
from collections import OrderedDict
from typing import Callable, Hashable

import numpy as np

#: Entries kept per kind: a daily-return matrix per market, and trailing sums for a
#: few windows (a sweep's strategy sets that share a window mostly run one after another).
SLOTS = {"daily": 2, "sum": 3}

_kept: dict[str, OrderedDict] = {kind: OrderedDict() for kind in SLOTS}
#: The entries being computed, each with the event its waiting threads wait for.
_running: dict[tuple, threading.Event] = {}
_lock = threading.Lock()


def _file_backed(array: np.ndarray) -> bool:
    """True when ``array`` and every array it views are read-only and the memory is
    a read-only map of a file."""
    node: object = array
    mapped_read_only = False
    while isinstance(node, np.ndarray):
        if node.flags.writeable:
            return False
        if isinstance(node, np.memmap) and node.mode == "r":
            mapped_read_only = True
        node = node.base
    return mapped_read_only and isinstance(node, mmap.mmap)


def frozen_key(arrays: list[np.ndarray]) -> tuple | None:
    """What identifies the content of ``arrays`` while they are alive, or None when
    one of them could change."""
    if not all(isinstance(a, np.ndarray) and _file_backed(a) for a in arrays):
        return None
    return tuple((a.__array_interface__["data"][0], a.shape, a.strides, a.dtype.str) for a in arrays)


def remembered(kind: str, key: Hashable | None, holds: tuple, compute: Callable[[], np.ndarray]) -> np.ndarray:
    """``compute()``, kept under ``key`` among the entries of ``kind`` (with ``holds``,
    the objects that must stay alive while it is kept) and given back read-only on
    later calls; computed every time when ``key`` is None."""
    if key is None:
        return compute()
    kept = _kept[kind]
    while True:
        with _lock:
            entry = kept.get(key)
            if entry is not None:
                kept.move_to_end(key)
                return entry[1]
            running = _running.get((kind, key))
            if running is None:  # this thread computes it; others wait for it
                running = _running[(kind, key)] = threading.Event()
                break
        running.wait()  # then look again (computed, or failed: computed here)
    try:
        value = compute()
        value.flags.writeable = False
        with _lock:
            entry = kept.setdefault(key, (holds, value))
            kept.move_to_end(key)
            while len(kept) > SLOTS[kind]:
                kept.popitem(last=False)
        return entry[1]
    finally:
        with _lock:
            del _running[(kind, key)]
        running.set()


def forget() -> None:
    """Drops every kept entry."""
    with _lock:
        for kept in _kept.values():
            kept.clear()
