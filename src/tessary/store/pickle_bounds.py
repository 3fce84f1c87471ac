"""A walk over the opcodes of a pickle that bounds the work of unpickling it before it
starts: opcodes are counted as they come (natively, a few milliseconds for megabytes),
and the walk stops at the first one past the limit. Each opcode creates at most one
object or adds one item to a container, so the count bounds both the time and the
memory of the load that follows (shared references, which expand without creating
anything, are bounded by the walk of the loaded metadata).

Opcodes that refer to a class or function, run code or take out-of-band data are only
walked over: the unpickler refuses them, naming what they refer to.
"""

from __future__ import annotations

import pickle

from tessary.store._checksum import scan_pickle

_OK, _TOO_MANY, _TRUNCATED, _TRAILING, _UNKNOWN = range(5)


def check_pickle_bounds(data: bytes, max_ops: int, source: object) -> int:
    """The number of opcodes of the pickle `data`, which must end with its STOP; an
    UnpicklingError, or a ValueError past `max_ops` opcodes, before any object is built."""
    status, ops, opcode = scan_pickle(data, max_ops)
    if status == _OK:
        return ops
    if status == _TOO_MANY:
        raise ValueError(f"{source}: the store metadata holds more than {max_ops:,} pickle opcodes; refused")
    if status == _TRUNCATED:
        raise pickle.UnpicklingError(f"{source}: the store metadata is truncated")
    if status == _TRAILING:
        raise pickle.UnpicklingError(f"{source}: bytes follow the end of the store metadata")
    raise pickle.UnpicklingError(f"{source}: the store metadata holds an unknown pickle opcode {opcode:#04x} (damaged)")
