"""Low-level file work of the binary store: regular-file opening, the writer lock,
dataset log files (header page, extents, checksums) and the mapping of a dataset
whose rows lie in several extents as one contiguous read-only array.

See the layout comment at the top of :mod:`tessary.store`.
"""

from __future__ import annotations

import contextlib
import ctypes
import ctypes.util
import errno
import json
import mmap as _mmap
import os
import secrets
import stat
import threading
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO

import numpy as np

from tessary.store import checksums
from tessary.store.layout import TMP_MARK

PAGE = _mmap.PAGESIZE
HEADER_BYTES = max(PAGE, 4096)  # the first page of a log file: magic and identity
LOG_MAGIC = b"TSYLOG01"
LOCK_NAME = "writer.lock"
#: Rows copied per step when a dataset is rewritten, so no full copy is ever held.
COPY_CHUNK_BYTES = 32 << 20


class StoreLockedError(RuntimeError):
    """Another writer holds the store's lock."""


def page_floor(n: int) -> int:
    return n - n % PAGE


def page_ceil(n: int) -> int:
    return -(-n // PAGE) * PAGE


def new_hasher(like: str | None = None):
    """A hasher of new extents (CRC-32C), or of the kind of the recorded digest `like`."""
    return checksums.new_hasher(like)


# --------------------------------------------------------------------- opening files


def open_regular(path: Path, what: str, flags: int = os.O_RDONLY) -> int:
    """A file descriptor of `path`, which must be a regular file. Opened without
    blocking, so that a FIFO or device put in place of a store file is refused
    instead of hanging the reader."""
    try:
        fd = os.open(path, flags | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        raise
    except OSError as exc:
        raise ValueError(f"{what}: cannot open {path}: {exc.strerror}") from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{what}: {path} is not a regular file")
        if hasattr(os, "set_blocking"):
            os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


@contextlib.contextmanager
def regular_file(path: Path, what: str) -> Iterator:
    fd = open_regular(path, what)
    with os.fdopen(fd, "rb") as fh:
        yield fh


# --------------------------------------------------------------------- writer lock


_HELD: dict[str, list[int]] = {}  # store directory -> [holding thread, depth]
_HELD_GUARD = threading.Lock()


@contextlib.contextmanager
def writer_lock(root: Path) -> Iterator[None]:
    """Holds the store's writer lock (an exclusive flock on ``writer.lock``) for the
    block. A second writer is refused at once with StoreLockedError; the lock goes
    with its holder, also when that process is killed. The thread that holds it may
    enter it again (a supplement writes its datasets under its own lock)."""
    import fcntl

    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    key = str(root.resolve())
    me = threading.get_ident()
    with _HELD_GUARD:
        held = _HELD.get(key)
        if held is not None and held[0] == me:
            held[1] += 1
    if held is not None and held[0] == me:
        try:
            yield
        finally:
            with _HELD_GUARD:
                held[1] -= 1
        return
    path = root / LOCK_NAME
    fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise
            holder = os.pread(fd, 64, 0).decode("ascii", "replace").strip() or "another process"
            raise StoreLockedError(
                f"{root}: another writer is changing the store ({holder}); try again when it has finished"
            ) from None
        os.ftruncate(fd, 0)  # the lock file only: no data file is ever truncated
        os.pwrite(fd, f"pid {os.getpid()}\n".encode(), 0)
        with _HELD_GUARD:
            _HELD[key] = [me, 1]
        try:
            yield
        finally:
            with _HELD_GUARD:
                del _HELD[key]
            os.ftruncate(fd, 0)
            fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)


# --------------------------------------------------------------------- log files


def log_header(key: str, file_id: str, dtype: np.dtype, capacity: int) -> bytes:
    ident = json.dumps({"key": key, "file_id": file_id, "dtype": dtype.str, "capacity": capacity}).encode()
    if len(LOG_MAGIC) + 4 + len(ident) > HEADER_BYTES:
        raise ValueError(f"dataset key too long for a store file header: {key[:60]!r}...")
    return (LOG_MAGIC + len(ident).to_bytes(4, "little") + ident).ljust(HEADER_BYTES, b"\0")


def read_log_header(fd: int, path: Path, what: str) -> dict:
    head = os.pread(fd, HEADER_BYTES, 0)
    if len(head) < len(LOG_MAGIC) + 4 or not head.startswith(LOG_MAGIC):
        raise ValueError(f"{what}: {path} is not a dataset file of this store")
    n = int.from_bytes(head[len(LOG_MAGIC) : len(LOG_MAGIC) + 4], "little")
    try:
        ident = json.loads(head[len(LOG_MAGIC) + 4 : len(LOG_MAGIC) + 4 + n])
    except ValueError:
        ident = None
    if not isinstance(ident, dict):
        raise ValueError(f"{what}: {path} has a damaged header")
    return ident


class LogWriter:
    """Appends extents to one dataset log file, past its current end.

    Nothing already in the file is ever written again, and the file is never
    truncated: every committed version stays readable for whoever mapped it.
    """

    def __init__(self, path: Path, create: bool, header: bytes | None, end: int):
        flags = os.O_WRONLY | getattr(os, "O_CLOEXEC", 0)
        if create:
            self.fd = os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o644)
            os.pwrite(self.fd, header, 0)
            end = HEADER_BYTES
        else:
            self.fd = open_regular(path, str(path), flags)
            # Past everything ever written, not just past the committed end: bytes a
            # killed writer left are skipped rather than reused, so even a version
            # committed from a stale metadata read can never overwrite mapped rows.
            end = max(end, page_ceil(os.fstat(self.fd).st_size))
        self.end = end
        self.bytes_written = len(header) if create else 0

    def append_extent(self, first_row: int, row_bytes: int, prefix: bytes,
                      blocks: Iterator[np.ndarray]) -> tuple[int, int, str]:
        """Writes one extent starting at a page boundary: `prefix` (the bytes of the
        page before row `first_row`, copied so that the extent maps page by page)
        then the rows from `blocks`, padded to a whole page. Returns (offset of the
        first row, rows written, checksum of prefix and rows)."""
        assert len(prefix) == (first_row * row_bytes) % PAGE
        start = page_ceil(self.end)
        pos = start
        hasher = new_hasher()
        for part in (prefix,):
            os.pwrite(self.fd, part, pos)
            hasher.update(part)
            pos += len(part)
        offset = pos
        rows = 0
        for block in blocks:
            raw = memoryview(np.ascontiguousarray(block).reshape(-1).view(np.uint8))
            hasher.update(raw)
            done = 0
            while done < len(raw):
                done += os.pwrite(self.fd, raw[done:], pos + done)
            pos += len(raw)
            rows += len(block)
        pad = page_ceil(pos) - pos
        if pad:
            os.pwrite(self.fd, b"\0" * pad, pos)
        self.bytes_written += page_ceil(pos) - start
        self.end = page_ceil(pos)
        return offset, rows, hasher.hexdigest()

    def close(self, sync: bool = True) -> None:
        try:
            if sync:
                os.fsync(self.fd)
        finally:
            os.close(self.fd)


def extent_span(offset: int, first_row: int, rows: int, row_bytes: int) -> tuple[int, int]:
    """The bytes [start, end) of the file that one extent's checksum covers: the copied
    rest of the page before its first row, then its rows."""
    return offset - (first_row * row_bytes) % PAGE, offset + rows * row_bytes


def extent_checksum(fd: int, offset: int, first_row: int, rows: int, row_bytes: int, like: str | None = None) -> str:
    """The checksum of one extent as stored (its prefix bytes and rows), read back, of
    the kind of the recorded digest `like`."""
    start, end = extent_span(offset, first_row, rows, row_bytes)
    hasher = new_hasher(like)
    pos = start
    while pos < end:
        chunk = os.pread(fd, min(COPY_CHUNK_BYTES, end - pos), pos)
        if not chunk:
            raise ValueError("file is shorter than its extents")
        hasher.update(chunk)
        pos += len(chunk)
    return hasher.hexdigest()


# --------------------------------------------------------------------- mapping


class _Libc:
    """mmap/munmap through ctypes: Python's mmap module cannot place a mapping at a
    chosen address, which stitching extents into one array needs."""

    PROT_NONE, PROT_READ = 0, _mmap.PROT_READ
    MAP_SHARED, MAP_PRIVATE = _mmap.MAP_SHARED, _mmap.MAP_PRIVATE
    MAP_ANONYMOUS = getattr(_mmap, "MAP_ANONYMOUS", getattr(_mmap, "MAP_ANON", 0))
    MAP_FIXED = 0x10  # the same value on Linux and the BSDs

    def __init__(self) -> None:
        lib = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)
        self.mmap = lib.mmap
        self.mmap.restype = ctypes.c_void_p
        self.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                              ctypes.c_int64]
        self.munmap = lib.munmap
        self.munmap.restype = ctypes.c_int
        self.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]

    def map(self, addr, length, prot, flags, fd, offset) -> int:
        out = self.mmap(addr, length, prot, flags, fd, offset)
        if out is None or out == ctypes.c_void_p(-1).value:
            err = ctypes.get_errno()
            raise OSError(err, f"mmap failed: {os.strerror(err)}")
        return out


_LIBC: _Libc | None = None


def _libc() -> _Libc | None:
    global _LIBC
    if _LIBC is None and os.name == "posix" and _mmap.PAGESIZE == PAGE:
        try:
            _LIBC = _Libc()
        except (OSError, AttributeError):
            return None
    return _LIBC


class _StitchedMapping:
    """Owner of one stitched read-only mapping; unmapped when the last array over it
    is gone. Exposes the whole region through the array interface."""

    def __init__(self, addr: int, length: int, shape: tuple, dtype: np.dtype, libc: _Libc):
        self._addr, self._length, self._libc = addr, length, libc
        self.__array_interface__ = {
            "shape": shape,
            "typestr": dtype.str,
            "data": (addr, True),
            "version": 3,
        }

    def __del__(self) -> None:
        if self._addr:
            self._libc.munmap(self._addr, self._length)
            self._addr = 0


def map_extents(fd: int, extents: list, rows: int, capacity: int, dtype: np.dtype) -> np.ndarray | None:
    """A read-only (rows, capacity) array whose row r is read from the extent that
    holds it, all extents of one file mapped side by side into one address range;
    None where that cannot be done (the caller then copies)."""
    libc = _libc()
    row_bytes = capacity * dtype.itemsize
    length = page_ceil(rows * row_bytes)
    if libc is None or length == 0:
        return None
    base = libc.map(None, length, libc.PROT_NONE, libc.MAP_PRIVATE | libc.MAP_ANONYMOUS, -1, 0)
    owner = _StitchedMapping(base, length, (rows, capacity), dtype, libc)
    for first, count, offset in extents:
        vstart = page_floor(first * row_bytes)
        vend = min(length, page_ceil((first + count) * row_bytes))
        fstart = offset - (first * row_bytes - vstart)
        libc.map(base + vstart, vend - vstart, libc.PROT_READ, libc.MAP_SHARED | libc.MAP_FIXED, fd, fstart)
    array = np.asarray(owner)
    array.flags.writeable = False
    return array


def pread_into(fd: int, buf: memoryview, offset: int) -> None:
    """Fills `buf` from `fd` at `offset`; a file that ends early is a damaged store."""
    done = 0
    while done < len(buf):
        n = os.preadv(fd, [buf[done : done + COPY_CHUNK_BYTES]], offset + done)
        if n <= 0:
            raise ValueError("file is shorter than its extents")
        done += n


def copy_rows(fd: int, extents: list, lo: int, hi: int, capacity: int, cols: int, dtype: np.dtype) -> np.ndarray:
    """Rows [lo, hi) of a dataset over its first `cols` columns, as a new contiguous
    array, read extent by extent (the spare columns are read past, not kept)."""
    row_bytes, keep = capacity * dtype.itemsize, cols * dtype.itemsize
    out = np.empty((hi - lo, cols), dtype=dtype)
    buf = memoryview(out.reshape(-1).view(np.uint8))
    per_call = max(1, (os.sysconf("SC_IOV_MAX") if hasattr(os, "sysconf") else 1024) // 2)
    scratch = memoryview(bytearray(row_bytes - keep))
    for first, count, offset in extents:
        a, b = max(lo, first), min(hi, first + count)
        if a >= b:
            continue
        if keep == row_bytes:
            pread_into(fd, buf[(a - lo) * keep : (b - lo) * keep], offset + (a - first) * row_bytes)
            continue
        for r0 in range(a, b, per_call):
            r1 = min(b, r0 + per_call)
            rows = [buf[(r - lo) * keep : (r - lo + 1) * keep] for r in range(r0, r1)]
            vectors = [part for row in rows for part in (row, scratch)]
            got = os.preadv(fd, vectors, offset + (r0 - first) * row_bytes)
            if got < (r1 - r0) * row_bytes:  # a short read: the rest row by row
                for r in range(r0 + got // row_bytes, r1):
                    pread_into(fd, rows[r - r0], offset + (r - first) * row_bytes)
    return out


# --------------------------------------------------------------------- atomic replacement


def fsync_dir(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomically(path: Path, write: Callable[[IO[bytes]], None], sync_dir: bool = True) -> None:
    """Writes `path` through a temporary file beside it: written, flushed, fsynced,
    then renamed over `path`. Readers see the old file or the complete new one."""
    tmp = path.with_name(f".{path.name}{TMP_MARK}{os.getpid()}-{secrets.token_hex(4)}")
    try:
        with open(tmp, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    if sync_dir:
        fsync_dir(path.parent)

