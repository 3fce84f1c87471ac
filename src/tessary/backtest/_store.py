"""The names the native ``_prepare`` module binds at load (its store subclass, the builder's
helpers, the metadata write and the writer lock); the store itself is :mod:`tessary.store`."""

import io
from collections.abc import Callable
from pathlib import Path
from typing import IO

from tessary.store import BinaryPreparedDataStoreBase, clean_matrix, component_dataset_key, normalize_yyyymmdd
from tessary.store.files import writer_lock
from tessary.store.metadata import write_metadata_file

__all__ = ["BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key", "normalize_yyyymmdd", "writer_lock"]


def _write_atomically(path: Path, write: Callable[[IO[bytes]], None]) -> None:
    """The metadata write of the native store (a constituent supplement): the pickle that
    `write` produces, sealed with its checksum and renamed over the metadata file."""
    buffer = io.BytesIO()
    write(buffer)
    write_metadata_file(Path(path), buffer.getvalue())
