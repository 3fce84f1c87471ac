"""Arrays for the smoothed weights of a sweep on threads, reused from one path to the
next: a new matrix of this size is fresh memory that the operating system clears
page by page before the smoothing can write it, which costs about as much as the
smoothing itself.

An array is lent again only when nothing but this module refers to it (every numpy
view and every frame made on it holds a reference), so a matrix still in use is
never overwritten. The arrays are kept only while a sweep is reusing (``reusing``),
up to its memory limit, and dropped when it ends."""

from __future__ import annotations

import sys
import threading
from contextlib import contextmanager
from typing import Iterator

import numpy as np
import pandas as pd

_lock = threading.Lock()
_arrays: list[np.ndarray] = []
_limit = [0]  # bytes the kept arrays may take; 0: nothing is kept


def _references_when_free() -> int:
    """What ``sys.getrefcount`` says, in the loop of ``_borrow``, of an array that only
    the list holds (measured, as interpreters count borrowed references differently)."""
    kept = [np.empty(0)]
    for array in kept:
        return sys.getrefcount(array)
    raise AssertionError("unreachable")


_FREE_REFERENCES = _references_when_free()


@contextmanager
def reusing(limit: int) -> Iterator[None]:
    """Keeps up to ``limit`` bytes of arrays for reuse inside the block."""
    with _lock:
        _limit[0] = max(int(limit), 0)
    try:
        yield
    finally:
        with _lock:
            _limit[0] = 0
            _arrays.clear()


def _borrow(shape: tuple[int, int], order: str) -> np.ndarray | None:
    """A free kept array of ``shape`` and ``order``, or a new one kept when there is
    room; None when nothing is kept."""
    flag = "C_CONTIGUOUS" if order == "C" else "F_CONTIGUOUS"
    with _lock:
        if not _limit[0]:
            return None
        for array in _arrays:
            if array.shape == shape and array.flags[flag] and sys.getrefcount(array) == _FREE_REFERENCES:
                return array
        array = np.empty(shape, dtype=np.float64, order=order)
        if sum(a.nbytes for a in _arrays) + array.nbytes <= _limit[0]:
            _arrays.append(array)
        return array


def output_for(weights: pd.DataFrame) -> np.ndarray | None:
    """An array for the smoothing of ``weights`` to write into (in the layout of its
    values), or None: a new one is made as usual (nothing kept, or values that are
    not one float64 block)."""
    if not _limit[0] or len(weights.columns) == 0 or not (weights.dtypes == np.float64).all():
        return None
    values = weights.to_numpy(copy=False)  # one float64 block: a view, no copy
    if values.flags.c_contiguous:
        return _borrow(values.shape, "C")
    if values.flags.f_contiguous:
        return _borrow(values.shape, "F")
    return None
