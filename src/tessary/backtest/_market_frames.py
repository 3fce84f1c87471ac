"""The store datasets the return engine reads, and their alignment to a weight matrix."""

from __future__ import annotations

import numpy as np
import pandas as pd

# A stock a dataset lacks on part of the range: not buyable, not sellable.
from tessary.store.layout import BOOL_FILL

__all__ = ["MARKET_FRAMES", "INPUT_FRAMES", "ENGINE_DATASETS", "aligned_market"]

#: The engine's eight market frames, by parameter name, in the order of its parameters
#: (after the weights): with the weights, the nine input frames of the C++ ``VwapInputs``
#: (native/common/vwap_inputs.hpp). Every Python list of them derives from this one.
MARKET_FRAMES = (
    "can_buy_stock",
    "cant_sell_stock",
    "split_factor",
    "dividend_factor",
    "close_price",
    "prev_close",
    "buy_price",
    "sell_price",
)
#: The engine's nine input frames: the weights, then the market frames.
INPUT_FRAMES = ("signal_matrix", *MARKET_FRAMES)
#: The market datasets of the store the engine reads, by the engine's parameter names.
ENGINE_DATASETS = {
    name: {"split_factor": "rq_get_split", "dividend_factor": "rq_get_dividend"}.get(name, name)
    for name in MARKET_FRAMES
}


def aligned_market(frames: dict[str, pd.DataFrame], index: pd.Index, columns: pd.Index) -> dict[str, pd.DataFrame]:
    """The engine's eight market frames on ``index`` x ``columns``, by parameter name,
    from a dict of store datasets. A frame that already has exactly those labels is
    passed on as it is (a memory-mapped frame stays mapped); cells a frame lacks get
    NaN, or for the flags the value that blocks trading."""
    out = {}
    for param, key in ENGINE_DATASETS.items():
        frame = frames[key]
        if not (frame.index.equals(index) and frame.columns.equals(columns)):
            frame = frame.reindex(index=index, columns=columns, fill_value=BOOL_FILL.get(key, np.nan))
        out[param] = frame
    return out
