"""``tessary-backtest compact``: a store rewritten with every dataset in one extent,
reclaiming the space of the rows that updates replaced."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any

from tessary.cli._common import UserError, first_line
from tessary.progress import step


def _bytes_used(store_dir: Path) -> int:
    """The bytes of the files of the store directory and its data directory."""
    total = 0
    for directory in (store_dir, store_dir / "data"):
        if not directory.is_dir():
            continue
        with os.scandir(directory) as entries:
            total += sum(e.stat(follow_symlinks=False).st_size for e in entries if e.is_file(follow_symlinks=False))
    return total


def _size(count: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if abs(count) < 1024 or unit == "GiB":
            return f"{count} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1024
    raise AssertionError("unreachable")


def cmd_compact(args: argparse.Namespace) -> int:
    from tessary.store import StoreLockedError, open_store

    store_dir = Path(args.store).expanduser()
    if not store_dir.is_dir():
        raise UserError(f"store not found: {store_dir}")
    store = open_store(store_dir)
    if not store.metadata_path.exists():
        raise UserError(f"{store_dir} is not a store (it has no {store.metadata_path.name})")
    before = _bytes_used(store_dir)
    try:
        with step(f"compacting {store_dir}"):
            rewritten = store.compact()
    except StoreLockedError as exc:
        raise UserError(str(exc)) from None
    except (ValueError, OSError) as exc:  # a damaged store: named, nothing was committed
        raise UserError(f"cannot compact {store_dir}: {first_line(exc)}") from None
    after = _bytes_used(store_dir)
    print(
        f"{store_dir}: {rewritten} dataset(s) rewritten in one extent; "
        f"{_size(max(before - after, 0))} reclaimed ({_size(before)} -> {_size(after)})"
    )
    return 0


def add_parser(commands: Any) -> None:
    compact = commands.add_parser("compact", help="reclaim the space that updates of a store leave behind")
    compact.add_argument("store", help="store directory")
    compact.set_defaults(handler=cmd_compact)
