"""Frames of one market in the memory layouts a backtest meets, for the benchmarks.

"F": every frame column-major in memory (what pandas builds); "C": every frame
row-major; "mixed": row-major market frames with column-major weights; "store": the
market written to a binary prepared-data store and loaded back as read-only memory
maps (row-major), with weights built by pandas operations on the loaded prices.
Also the side-by-side timing of two calls that the layout benchmarks print.
"""

from __future__ import annotations

import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

LAYOUTS = ("F", "C", "mixed", "store")
# The engine's market frames under the names of the store's datasets.
STORE_KEYS = {
    "can_buy_stock": "can_buy_stock", "cant_sell_stock": "cant_sell_stock", "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend", "close_price": "close_price", "prev_close": "prev_close",
    "buy_price": "buy_price", "sell_price": "sell_price",
}


def relaid(frame: pd.DataFrame, order: str) -> pd.DataFrame:
    """A copy of `frame` whose values are laid out in `order` ("F" or "C")."""
    values = frame.to_numpy()
    values = np.asfortranarray(values) if order == "F" else np.ascontiguousarray(values)
    return pd.DataFrame(values, index=frame.index, columns=frame.columns, copy=False)


def pandas_weights(close: pd.DataFrame, names: int = 500) -> pd.DataFrame:
    """Equal weights on the `names` stocks of best 20-day momentum, as a user writes it
    with pandas (the result is column-major whatever the layout of `close`)."""
    momentum = close.pct_change(20, fill_method=None)
    chosen = momentum.rank(axis=1, ascending=False) <= names
    return chosen.astype(np.float64) / names


def market_in_layout(market: dict[str, pd.DataFrame], weights: pd.DataFrame, layout: str, store_dir: Path | None):
    """(weights, market frames) in `layout`; "store" writes the market under `store_dir`
    and builds the weights with pandas from the loaded close prices instead."""
    if layout == "F":
        return relaid(weights, "F"), {k: relaid(v, "F") for k, v in market.items()}
    if layout == "C":
        return relaid(weights, "C"), {k: relaid(v, "C") for k, v in market.items()}
    if layout == "mixed":
        return relaid(weights, "F"), {k: relaid(v, "C") for k, v in market.items()}
    from tessary.backtest import _prepare

    store = _prepare.BinaryPreparedDataStore(store_dir)
    data = {STORE_KEYS[k]: v for k, v in market.items()}
    store.write_payload({"version": _prepare.PREPARED_DATA_VERSION, "meta": {}, "data": data})
    loaded = store.load(keys=list(STORE_KEYS.values()), mmap=True)["data"]
    frames = {k: loaded[STORE_KEYS[k]] for k in market}
    return pandas_weights(frames["close_price"]), frames


def store_dir() -> tempfile.TemporaryDirectory:
    """A scratch directory on disk beside the benchmarks (not in memory)."""
    out = Path(__file__).resolve().parent / "out"
    out.mkdir(exist_ok=True)
    return tempfile.TemporaryDirectory(dir=out)


def side_by_side(label: str, reference, case, rounds: int = 5, per: int = 3) -> None:
    """Times `case` against `reference` in alternating rounds (so that a slow spell of
    the shared machine hits both), each round the best of `per` calls, and prints the
    best and the median ratio case / reference."""
    ratios, t_ref, t_case = [], [], []
    for _ in range(rounds):
        r = min(_timed(reference) for _ in range(per))
        c = min(_timed(case) for _ in range(per))
        t_ref.append(r)
        t_case.append(c)
        ratios.append(c / r)
    print(f"{label}: {min(t_case) * 1e3:7.1f} ms vs all-column-major in memory {min(t_ref) * 1e3:7.1f} ms;"
          f" ratio best {min(ratios):4.2f}, median {statistics.median(ratios):4.2f} over {rounds} rounds"
          f" ({', '.join(f'{x:.2f}' for x in ratios)})")


def _timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0
