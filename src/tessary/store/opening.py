"""Opening a store directory as the prepared-data store of the package."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any


def open_store(store: Any, component_names: list[str] | None = None, must_exist: bool = True):
    """`store` as a ``BinaryPreparedDataStore``: an open store is returned as it is; a
    directory path is opened (with the component factors `component_names`). A missing
    directory raises FileNotFoundError unless `must_exist` is false (a build creates it)."""
    from tessary.backtest._prepare import BinaryPreparedDataStore

    if isinstance(store, BinaryPreparedDataStore):
        return store
    if isinstance(store, (str, os.PathLike)):
        path = Path(store).expanduser()
        if must_exist and not path.is_dir():
            raise FileNotFoundError(f"store not found: {path}")
        return BinaryPreparedDataStore(path, component_names=component_names)
    raise TypeError(f"store must be a BinaryPreparedDataStore or a directory path, not {type(store).__name__}")
