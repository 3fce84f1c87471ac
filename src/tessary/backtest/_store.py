"""The names the native ``_prepare`` module binds at load (its store subclass, the builder's
helpers, the metadata write and the writer lock); the store itself is :mod:`tessary.store`."""

from tessary.store import BinaryPreparedDataStoreBase, clean_matrix, component_dataset_key, normalize_yyyymmdd
from tessary.store.files import write_atomically as _write_atomically
from tessary.store.files import writer_lock

__all__ = ["BinaryPreparedDataStoreBase", "clean_matrix", "component_dataset_key", "normalize_yyyymmdd", "writer_lock"]
