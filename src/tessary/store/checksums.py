"""Checksums of the store's files and the check of every load.

New files record CRC-32C ("crc32c:" and eight hex digits), computed natively with the
GIL released. Stores written before carry SHA-256 (64 hex digits) on their extents and
benchmark files: a load checks those with SHA-256, what they have, never skipping them;
the next rewrite of a dataset records CRC-32C.

A load checks the bytes it maps once per file version per process: a verified extent is
remembered under the file's device, inode, size, modification and change times, so a
file changed in any way is checked again, and a store read over and over is hashed once.
"""

from __future__ import annotations

import hashlib
import os
import re
import threading

from tessary.exceptions import StoreCorruptError
from tessary.store._checksum import crc32c, crc32c_many

FAST_PREFIX = "crc32c:"
_LEGACY = re.compile(r"^[0-9a-f]{64}$")
_VERIFIED: set = set()
_VERIFIED_GUARD = threading.Lock()
_VERIFIED_MAX = 100_000


class Crc32c:
    """An incremental CRC-32C with the interface of a hashlib object (`update`, `hexdigest`)."""

    def __init__(self) -> None:
        self.crc = 0

    def update(self, data) -> None:
        self.crc = crc32c(data, self.crc)

    def hexdigest(self) -> str:
        return f"{FAST_PREFIX}{self.crc:08x}"


def new_hasher(digest: str | None = None):
    """The hasher that computes a digest of the form of `digest` (CRC-32C when None)."""
    if digest is None or digest.startswith(FAST_PREFIX):
        return Crc32c()
    if _LEGACY.match(digest):
        return hashlib.sha256()
    raise ValueError(f"unknown checksum {digest[:20]!r}")


def digest_of(data, like: str | None = None) -> str:
    hasher = new_hasher(like)
    hasher.update(data)
    return hasher.hexdigest()


def digests_of(parts: list, likes: list, threads: int = 0) -> list[str]:
    """The checksum of each buffer of `parts`, of the kind of the matching digest of
    `likes` (CRC-32C when None): the CRC-32C ones in one native call whose threads share
    out the bytes of all of them, so that many small extents keep both cores busy too
    (`threads` 0: as many as the hash finds worth it)."""
    out: list = [None] * len(parts)
    fast = [i for i, like in enumerate(likes) if like is None or like.startswith(FAST_PREFIX)]
    for i, crc in zip(fast, crc32c_many([parts[i] for i in fast], threads=threads)):
        out[i] = f"{FAST_PREFIX}{crc:08x}"
    for i, like in enumerate(likes):
        if out[i] is None:
            out[i] = digest_of(parts[i], like)
    return out


def file_stamp(fd: int) -> tuple:
    """What identifies one version of an open file: replaced, rewritten, appended to
    or touched, some part of it changes."""
    info = os.fstat(fd)
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_ctime_ns)


def already_verified(key: tuple) -> bool:
    return key in _VERIFIED


def remember_verified(key: tuple) -> None:
    with _VERIFIED_GUARD:
        if len(_VERIFIED) >= _VERIFIED_MAX:
            _VERIFIED.clear()
        _VERIFIED.add(key)


# Checks running ahead of a load (tessary.store.ahead), by store directory: the
# event is set when the check has finished, whatever its outcome.
_AHEAD: dict[str, threading.Event] = {}


def ahead_started(store_dir) -> threading.Event | None:
    """Registers a check ahead of loads of `store_dir`: its event, to set when it ends;
    None when one is running already (it covers the same files)."""
    key = os.path.abspath(store_dir)
    with _VERIFIED_GUARD:
        if key in _AHEAD:
            return None
        event = _AHEAD[key] = threading.Event()
        return event


def ahead_finished(store_dir, event: threading.Event) -> None:
    with _VERIFIED_GUARD:
        if _AHEAD.get(os.path.abspath(store_dir)) is event:
            del _AHEAD[os.path.abspath(store_dir)]
    event.set()


def wait_ahead(store_dir) -> None:
    """Waits for a check running ahead of loads of `store_dir`, so that a load hashes
    none of the bytes that check is hashing (and hashes again what it left unverified)."""
    with _VERIFIED_GUARD:
        event = _AHEAD.get(os.path.abspath(store_dir))
    if event is not None:
        event.wait()


def corrupt(what: str, store_dir, detail: str) -> StoreCorruptError:
    """The error of a load that found damage: what, where, and what to do."""
    return StoreCorruptError(
        f"{what} of the store {store_dir} is damaged: {detail}; run `tessary-backtest verify {store_dir}` "
        "and rebuild the store"
    )


def series_digest(name: object, content: bytes) -> str:
    """The checksum of a benchmark file: its name, then its bytes, so that the file of
    one benchmark put in place of another's does not match."""
    hasher = Crc32c()
    hasher.update(str(name).encode("utf-8") + b"\0")
    hasher.update(content)
    return hasher.hexdigest()


def series_problem(name: object, desc: dict, content: bytes) -> str | None:
    """What is wrong with the bytes of a benchmark file against its descriptor's checksum
    (CRC-32C of name and bytes; SHA-256 of the bytes in stores written before); None
    when they match or when the descriptor records no checksum at all."""
    if desc.get("checksum") is not None:
        if series_digest(name, content) == desc["checksum"]:
            return None
    elif desc.get("sha256") is not None:
        if hashlib.sha256(content).hexdigest() == desc["sha256"]:
            return None
    else:
        return None
    return "its file does not match its checksum"
