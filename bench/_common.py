"""What the benchmarks share: the best wall time of repeated calls, and the options of
the benchmarks that run on a store of a market's shape."""

from __future__ import annotations

import argparse
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


def market_parser(dates: int = 2465, stocks: int = 5000) -> argparse.ArgumentParser:
    """A parser holding the options of a benchmark on a store of DATES x STOCKS: the
    shape, the repeats of each timing (the best is kept) and a store to reuse."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--dates", type=int, default=dates)
    parser.add_argument("--stocks", type=int, default=stocks)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--keep", help="store directory to reuse (written when missing)")
    return parser
