"""Binary store of prepared backtest data: one directory, one metadata file as the commit
point. :class:`BinaryPreparedDataStoreBase` is the facade; :func:`open_store` opens a store
directory as the package's ``BinaryPreparedDataStore``.

Modules: ``dates`` (the one date parser), ``metadata`` (plain-data pickling, the metadata
file and its checksum, the manifest), ``pickle_bounds`` (the opcode walk that bounds a
metadata read), ``checksums`` (CRC-32C, the check of every load), ``plan`` (checking a
payload before writing), ``reading``, ``writing``, ``merging`` (updates), ``maintenance``
(compact, verify), ``files`` (log files, the writer lock, mappings, atomic replacement),
``layout`` (names and constants), ``base`` (the facade).
"""

# Layout of a store directory
# ---------------------------
#   metadata.pkl   the pickled metadata dict: the only file that says what the store holds;
#                  replacing it (write to a temporary file, fsync, rename) commits a change
#   manifest.json  a readable summary of the metadata, rewritten after it
#   writer.lock    flock-ed by the one writer at a time; a second writer is refused
#   data/          one log file per dataset, one .npy file per benchmark series, and the
#                  date and stock-code axes as .npy string arrays named by the SHA-256 of
#                  their content (identical axes are stored once; a load checks the name)
#
# A dataset log file ("<key>-<id>.log") starts with a header page naming its dataset key
# and file id, then holds extents. An extent is a run of consecutive date rows, row-major,
# each row `capacity` cells wide (the stock columns, then spare columns already holding the
# dataset's fill value: NaN, the trading-blocking flag, or 0). The metadata records per
# dataset its dtype, shape, capacity, axes and the list of extents (first row, row count,
# byte offset, rows written, checksum: CRC-32C, or SHA-256 in stores written before),
# which together cover rows 0..n-1 in order and never overlap in the file.
#
# An update never writes where a committed version lives: the rows from its first date on
# (replaced tail rows and new days) go into a new extent appended to the log file past its
# committed end, and a new stock code takes a spare column (its earlier rows already read
# as fill). So an update writes what it touches and a frame mapped by an earlier load never
# changes. Each extent starts on a page boundary, preceded by a copy of the rest of the
# page before its first row; that lets a load map the extents side by side into one
# contiguous read-only array (mmap with MAP_FIXED), so a dataset is still one memory-mapped
# matrix, whatever the number of extents. Small trailing extents are merged into the new
# one (at most `layout.MERGE_ROWS` rows) so that the count stays low; `compact()` rewrites every
# dataset as one extent in a fresh file. A dataset that runs out of spare columns, and one
# of a store written by an older version (one .npy file per dataset), is rewritten whole
# into a fresh log file by the update that needs it.
#
# Commit protocol: new files and extents are written and fsynced before the metadata rename;
# killed before it, the store is the old version (bytes past a log file's committed end
# belong to nobody; the next writer appends after them); after it, the new one. Files
# no longer referenced are unlinked after the commit, never truncated or rewritten: an
# earlier load keeps its mapping.
#
# Integrity: every load checks the metadata's own checksum (a trailer of metadata.pkl) and
# bounds its work (opcodes counted before unpickling, a walk of its shape after), that each
# data path is a regular file, each log header names the dataset, file sizes cover the
# extents, and axes are ascending, unique, calendar dates and match their checksum; and,
# unless asked not to, every extent's and benchmark file's checksum, once per file version
# per process (`checksums`). `verify()` reads every byte whatever was checked before.

from tessary.store.base import BinaryPreparedDataStoreBase
from tessary.store.dates import normalize_yyyymmdd
from tessary.store.files import StoreLockedError
from tessary.store.layout import BOOL_FILL, component_dataset_key
from tessary.store.opening import open_store
from tessary.store.plan import clean_matrix

__all__ = [
    "normalize_yyyymmdd",
    "clean_matrix",
    "component_dataset_key",
    "BinaryPreparedDataStoreBase",
    "StoreLockedError",
    "BOOL_FILL",
    "open_store",
]
