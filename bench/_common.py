"""What the benchmarks share: the best wall time of repeated calls."""

from __future__ import annotations

import gc
import time
from collections.abc import Callable
from typing import Any


def timed(fn: Callable[[], Any], repeat: int = 1, collect: bool = False) -> tuple[float, Any]:
    """The best wall time in seconds of ``repeat`` calls of ``fn`` and what the last call
    returned. With ``collect``, garbage is collected before each call, outside the time."""
    best, result = float("inf"), None
    for _ in range(repeat):
        if collect:
            gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result
