"""The store's metadata: pickled as plain data only and sealed with its own checksum, read
back through an opcode walk that bounds the work and an unpickler that refuses every
class reference, checked for size and shape, and summarised in manifest.json.

The checksum is a trailer of the metadata file itself (magic, length of the pickle,
CRC-32C of the pickle): it is written in the same file, by the same rename, as what it
covers, so no crash can leave a good store whose metadata and checksum disagree. An
unpickler stops at the pickle's end, so the file still reads as the pickled dict. A
file without the trailer is one written before metadata carried a checksum: it is read
as it is, unless the dict says it was sealed (``SEALED_KEY``), which then makes the
missing trailer damage."""

from __future__ import annotations

import gc
import io
import json
import os
import pickle
import struct
from collections.abc import Mapping
from pathlib import Path
from typing import IO, Any

from tessary.exceptions import StoreCorruptError
from tessary.store._checksum import crc32c
from tessary.store.files import open_regular, write_atomically
from tessary.store.layout import STORE_FORMAT
from tessary.store.pickle_bounds import check_pickle_bounds

METADATA_MAX_BYTES = 32 << 20
#: Opcodes of a metadata pickle at most: the metadata of a store of decades of data
#: takes tens of thousands; this bound keeps a hostile file's load and walk short and
#: its memory under ~50 MB.
METADATA_MAX_OPS = 500_000
TRAILER = struct.Struct("<8sQI")  # magic, length of the pickle, its CRC-32C
TRAILER_MAGIC = b"TSYMETA1"
SEALED_KEY = "metadata_checksum"
METADATA_MAX_NODES = 1_000_000
METADATA_MAX_DEPTH = 100
_SHAPE_CHECKED: set = set()  # metadata files (path, device, inode, size, times) found sane
PLAIN_TYPES = "dict, list, tuple, str, bytes, int, float, bool, None"


class PlainUnpickler(pickle.Unpickler):
    """Unpickler of plain data only.

    Containers, text, bytes, numbers, booleans and None are rebuilt by the pickle
    machine itself; a reference to any class or function, the only way a pickle can
    run code, is refused before it is resolved.
    """

    def __init__(self, file: IO[bytes], source: object) -> None:
        super().__init__(file)
        self._source = source

    def find_class(self, module: str, name: str) -> Any:
        raise pickle.UnpicklingError(
            f"{self._source} refers to {module}.{name}; only plain data ({PLAIN_TYPES}) is accepted"
        )

    def persistent_load(self, pid: Any) -> Any:
        raise pickle.UnpicklingError(f"{self._source} holds a persistent reference; only plain data is accepted")


def plain_pickle(obj: object, what: str) -> bytes:
    """`obj` pickled with the highest protocol, after checking that the restricted
    unpickler reads it back: anything the store could not load again is refused here."""
    try:
        blob = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
        PlainUnpickler(io.BytesIO(blob), what).load()
    except (pickle.PickleError, TypeError, AttributeError) as exc:
        raise TypeError(f"{what} can hold plain data only ({PLAIN_TYPES}): {exc}") from None
    return blob


_CONTAINERS = (dict, list, tuple, set, frozenset)


def check_metadata_shape(metadata: object, source: object) -> None:
    """Refuses metadata that is small on disk but huge once walked: a pickle can make one
    object appear many times (or inside itself), and everything that later walks the
    dict (the manifest, a copy) would then run away. Counts every visit, shared or not."""
    budget = METADATA_MAX_NODES
    level: list = [metadata]
    depth = 0
    while level:  # one level of nesting at a time; empty containers need no visit
        if depth > METADATA_MAX_DEPTH:
            raise ValueError(f"{source}: the store metadata is nested more than {METADATA_MAX_DEPTH} levels deep")
        below: list = []
        for item in level:
            if isinstance(item, dict):
                budget -= 2 * len(item)
                below.extend([x for pair in item.items() for x in pair if isinstance(x, _CONTAINERS) and x])
            else:
                budget -= len(item)
                below.extend([x for x in item if isinstance(x, _CONTAINERS) and x])
            if budget < 0:
                raise ValueError(
                    f"{source}: the store metadata holds more than {METADATA_MAX_NODES:,} items once "
                    "expanded (shared or self-referencing parts); refused"
                )
        level = below
        depth += 1


def sealed(blob: bytes) -> bytes:
    """The metadata file's content: the pickle `blob`, then its checksum trailer."""
    return blob + TRAILER.pack(TRAILER_MAGIC, len(blob), crc32c(blob))


def write_metadata_file(path: Path, blob: bytes) -> None:
    """Replaces the metadata file by the pickle `blob`, sealed, atomically (the commit)."""
    content = sealed(blob)
    write_atomically(path, lambda fh: fh.write(content))


def _unseal(data: bytes, path: Path) -> tuple[bytes, bool]:
    """The pickle of a metadata file's content, and whether it carried its checksum."""
    if len(data) >= TRAILER.size:
        magic, length, crc = TRAILER.unpack_from(data, len(data) - TRAILER.size)
        if magic == TRAILER_MAGIC and length == len(data) - TRAILER.size:
            blob = data[:length]
            if crc32c(blob) != crc:
                raise StoreCorruptError(
                    f"{path}: the store metadata does not match its checksum (damaged); run "
                    f"`tessary-backtest verify {path.parent}` and rebuild the store"
                )
            return blob, True
    return data, False


def read_metadata(path: Path) -> dict | None:
    """The metadata dict, or None when the store holds nothing yet."""
    try:
        fd = open_regular(path, "store metadata")
    except FileNotFoundError:
        return None
    with os.fdopen(fd, "rb") as fh:
        info = os.fstat(fh.fileno())
        size = info.st_size
        stamp = (str(path), info.st_dev, info.st_ino, size, info.st_mtime_ns, info.st_ctime_ns)
        if size > METADATA_MAX_BYTES:
            raise ValueError(f"{path}: {size:,} bytes is far more than store metadata can be")
        data = fh.read(METADATA_MAX_BYTES + 1)
    blob, was_sealed = _unseal(data, path)
    # The opcode walk and the shape walk are skipped for a file already checked by this
    # process: renaming a new metadata file over it changes the inode, any change the ctime.
    known = stamp in _SHAPE_CHECKED
    if not known:
        check_pickle_bounds(blob, METADATA_MAX_OPS, path)
    collecting = gc.isenabled()
    gc.disable()  # the collector would rescan every container built so far, again and again
    try:
        metadata = PlainUnpickler(io.BytesIO(blob), path).load()
    except pickle.UnpicklingError:
        raise
    except EOFError:
        raise pickle.UnpicklingError(f"{path}: store metadata is truncated") from None
    except (MemoryError, RecursionError):
        raise ValueError(f"{path}: the store metadata is too large once unpickled") from None
    except Exception as exc:  # a malformed pickle fails in many ways; all of them are damage
        raise pickle.UnpicklingError(f"{path}: the store metadata is damaged ({type(exc).__name__}: {exc})") from None
    finally:
        if collecting:
            gc.enable()
    if not known:
        check_metadata_shape(metadata, path)
        if len(_SHAPE_CHECKED) > 256:
            _SHAPE_CHECKED.clear()
        _SHAPE_CHECKED.add(stamp)
    if not isinstance(metadata, dict):
        raise ValueError(f"{path} does not hold a metadata dict")
    if not was_sealed and metadata.get(SEALED_KEY) is not None:
        raise StoreCorruptError(
            f"{path}: the store metadata has lost its checksum (damaged, or rewritten by another program); "
            f"run `tessary-backtest verify {path.parent}` and rebuild the store"
        )
    fmt = metadata.get("format", 1)
    if type(fmt) is not int or fmt > STORE_FORMAT:
        raise ValueError(f"{path}: unknown store format {fmt!r}")
    for group in ("datasets", "benchmarks", "meta"):
        if not isinstance(metadata.get(group, {}), dict):
            raise ValueError(f"{path}: {group!r} is not a dict but {type(metadata[group]).__name__}")
    return metadata


def check_version(store, metadata: dict) -> None:
    """Refuses metadata of another prepared-data version than `store` reads."""
    version = metadata.get("version", store.version)
    if version != store.version:
        raise ValueError(
            f"{store.metadata_path}: the store holds prepared data of version {version!r}, "
            f"this store reads version {store.version!r}"
        )


def json_keys(value: object) -> object:
    """``value`` with every mapping key JSON can not write (a tuple, say) turned into
    its text, so that the manifest never fails after the metadata was committed."""
    if isinstance(value, Mapping):
        return {
            (k if k is None or isinstance(k, (str, int, float, bool)) else str(k)): json_keys(v)
            for k, v in value.items()
        }
    if isinstance(value, (list, tuple)):
        return [json_keys(v) for v in value]
    return value


def write_manifest(store_dir, metadata: dict, version: object) -> None:
    """Rewrites manifest.json, a readable summary of the complete metadata dict."""
    datasets = metadata.get("datasets", {})
    benchmarks = metadata.get("benchmarks", {})
    described = [d for d in list(datasets.values()) + list(benchmarks.values()) if isinstance(d, Mapping)]
    starts = [d["start_date"] for d in described if isinstance(d.get("start_date"), str)]
    ends = [d["end_date"] for d in described if isinstance(d.get("end_date"), str)]
    manifest = {
        "format": metadata.get("format", 1),
        "version": metadata.get("version", version),
        "updated_at": metadata.get("updated_at"),
        "start_date": min(starts) if starts else None,
        "end_date": max(ends) if ends else None,
        "datasets": {
            key: {
                **{k: d.get(k) for k in ("dtype", "shape", "start_date", "end_date", "file")},
                "extents": len(d.get("extents", [])) if isinstance(d.get("extents"), list) else 1,
            }
            for key, d in datasets.items()
            if isinstance(d, Mapping)
        },
        "benchmarks": {
            name: {k: d.get(k) for k in ("length", "start_date", "end_date", "values")}
            for name, d in benchmarks.items()
            if isinstance(d, Mapping)
        },
        "meta": json_keys(metadata.get("meta", {})),
    }
    text = json.dumps(manifest, ensure_ascii=False, indent=2, default=str) + "\n"
    write_atomically(Path(store_dir).expanduser() / "manifest.json", lambda fh: fh.write(text.encode("utf-8")))
