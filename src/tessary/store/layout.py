"""Names and constants of the on-disk layout (see the comment of :mod:`tessary.store`)."""

from __future__ import annotations

import hashlib
import re

import numpy as np

STORE_FORMAT = 2  # 1: one .npy file per dataset (still read; converted by the first update)
LAYOUT = "log"
MERGE_ROWS = 32  # trailing extents are merged into a new one while it stays this short
MAX_EXTENTS = 64  # a dataset with this many extents is rewritten whole by its next update
#: Fill of the boolean datasets where a stock has no data: the value that blocks trading.
BOOL_FILL = {"can_buy_stock": False, "cant_sell_stock": True}
DATA_DIR = "data"
TMP_MARK = ".tmp-"
AXIS_NAME = re.compile(r"^axis-([0-9a-f]{40})\.npy$")


def component_dataset_key(name: object) -> str:
    """Dataset key of the constituent mask of component factor ``name``.

    "component__" + the name's text: distinct names give distinct keys, and none of
    them equals a base dataset key (no base key starts with "component__").
    """
    return "component__" + str(name)


def safe_file_stem(key: str) -> str:
    stem = re.sub(r"[^A-Za-z0-9_.-]", "_", key).lstrip(".")[:80]
    return stem or "dataset"


def spare_columns(cols: int) -> int:
    """Spare stock columns given to a dataset file: room for new listings without a rewrite."""
    return max(8, cols // 32)


def fill_value(key: str, dtype: np.dtype) -> object:
    """What a cell without data holds: NaN in float datasets, for the trading flags the
    value that blocks trading, False or 0 otherwise."""
    if dtype.kind == "f":
        return np.nan
    if dtype.kind == "b":
        return BOOL_FILL.get(key, False)
    return 0


def axis_digest(labels: np.ndarray) -> str:
    return hashlib.sha256(f"{labels.dtype.str}{labels.shape}".encode() + labels.tobytes()).hexdigest()[:40]
