"""The store as a sweep task sees it: opened once per process (memory-mapped, so
every process of a machine shares the same pages) and reused by every task."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path

import pandas as pd

from tessary.backtest._market_frames import ENGINE_DATASETS, aligned_market

#: Markets kept open per process (distinct stores or date ranges).
_CACHE_SIZE = 4

_cache: OrderedDict[tuple, "Market"] = OrderedDict()
_cache_lock = threading.Lock()


@dataclass(frozen=True)
class Market:
    """The store's frames over one date range (read-only memory maps) and its
    benchmark dictionary over the same range."""

    frames: dict[str, pd.DataFrame]
    benchmarks: dict[str, pd.Series]

    @property
    def dates(self) -> pd.Index:
        return self.frames["close_price"].index

    @property
    def codes(self) -> pd.Index:
        return self.frames["close_price"].columns

    def for_strategy(self) -> dict[str, pd.DataFrame]:
        """A fresh dict of shallow copies: a strategy that adds keys or assigns into a
        frame changes only its own copy, never what other tasks see."""
        return {key: frame.copy(deep=False) for key, frame in self.frames.items()}

    def aligned(self, index: pd.Index, columns: pd.Index) -> dict[str, pd.DataFrame]:
        """The engine's eight market frames on ``index`` x ``columns``, by parameter name
        (no copy when the weights cover the whole range and every stock)."""
        return aligned_market(self.frames, index, columns)


def _store_stamp(store_dir: Path) -> tuple:
    """What identifies the store's current content: every write replaces the metadata file."""
    st = os.stat(store_dir / "metadata.pkl")
    return st.st_ino, st.st_mtime_ns, st.st_size


def _load(store_dir: Path, start: str | None, end: str | None) -> Market:
    from tessary.backtest._prepare import BinaryPreparedDataStore

    store = BinaryPreparedDataStore(store_dir)
    loaded = store.load(start_date=start, end_date=end, mmap=True)
    if loaded is None:
        raise ValueError(f"the store {store_dir} holds no data")
    frames = loaded["data"]
    missing = [key for key in ENGINE_DATASETS.values() if key not in frames]
    if missing:
        raise ValueError(f"the store {store_dir} lacks dataset(s) the backtest needs: {', '.join(missing)}")
    return Market(frames, store.load_benchmark_dict(start_date=start, end_date=end))


def open_market(store_dir: str | os.PathLike, start: str | None, end: str | None) -> Market:
    """The market of ``store_dir`` over ``start``..``end``, opened on first use in this
    process and reused afterwards (reopened when the store has been rewritten)."""
    path = Path(store_dir).expanduser()
    if not path.is_dir():
        raise FileNotFoundError(f"store not found: {path}")
    try:
        key = (str(path.resolve()), start, end, _store_stamp(path))
    except FileNotFoundError:
        raise ValueError(f"the store {path} holds no data (no metadata.pkl)") from None
    with _cache_lock:
        market = _cache.get(key)
        if market is not None:
            _cache.move_to_end(key)
            return market
    # Opened outside the lock: two threads may open the same store at once, which
    # costs two cheap memory maps and nothing else.
    market = _load(path, start, end)
    with _cache_lock:
        _cache[key] = market
        while len(_cache) > _CACHE_SIZE:
            _cache.popitem(last=False)
    return market


def describe(store_dir: str | os.PathLike, start: str | None, end: str | None) -> dict:
    """What a sweep must know before its tasks start: the range's dates and stock
    count and the store's benchmarks (run where the store lives)."""
    market = open_market(store_dir, start, end)
    return {
        "dates": len(market.dates),
        "first_date": str(market.dates[0]) if len(market.dates) else None,
        "last_date": str(market.dates[-1]) if len(market.dates) else None,
        "stocks": len(market.codes),
        "benchmarks": list(market.benchmarks),
    }
