"""The ``tessary-backtest`` command.

``tessary-backtest demo [--out DIR]``
    Generates a synthetic A-share market into a DuckDB file, builds the prepared
    data through the local data service, writes it into a store, loads it back,
    backtests a momentum strategy against the three benchmarks and draws both charts.
``tessary-backtest build DATABASE STORE``
    Builds a store from a DuckDB file of the local data service: in full, or (when
    the store already holds data) only the days after its last date; constituent
    masks the store lacks are supplemented. Past dates whose rows changed in the file
    since the last build are rebuilt from the earliest one (``--since DATE`` forces it).
``tessary-backtest verify STORE``
    Reads a store back whole and checks every checksum; names what is damaged.
``tessary-backtest compact STORE``
    Rewrites every dataset that updates left in several extents as one, and prints
    the space reclaimed.
``tessary-backtest run WEIGHTS STORE``
    Backtests a weight matrix (parquet or CSV: dates down, stock codes across)
    against a store, draws both charts and prints the statistics as JSON, with the
    traded turnover and the blocked trades; ``--records DIR`` also writes the
    trade records as parquet.
``tessary-backtest sweep STORE --strategy MODULE:FUNCTION --grid NAME=V1,V2 ...``
    Backtests a strategy for every combination of the grid, on threads or a Dask
    cluster; writes the table (CSV, parquet) and a heatmap, prints the best rows.
``tessary-backtest factor FACTOR_FILE STORE``
    Rank ICs, decay, groups and the groups' backtests of a factor; the summary as
    JSON, the chart and the tables as files; ``--compare`` screens several factors.

A mistake of the user (a missing or malformed file, an unknown benchmark, weights
that do not meet the store) is reported in one line with exit status 2.
"""

from __future__ import annotations

import argparse
import errno
import os
import pickle
import sys
from collections.abc import Sequence

from tessary.cli import compact, demo, factor, run, store, sweep
from tessary.cli._common import PROG, UserError, first_line

__all__ = ["main", "make_parser", "UserError"]

_EXTRAS = ("duckdb", "tqdm", "pyarrow")
#: errno values of a path the user chose badly (reported as exit status 2).
_PLACE_ERRORS = frozenset(
    getattr(errno, name) for name in ("EACCES", "EPERM", "EROFS", "ENOENT", "ENOTDIR", "EISDIR", "EEXIST",
                                      "ENAMETOOLONG", "ELOOP") if hasattr(errno, name)
)
#: The subcommands in the order of the help; each module adds its parser.
_COMMANDS = (demo, store, compact, run, sweep, factor)


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="A-share strategy backtests from prepared data.")
    commands = parser.add_subparsers(
        dest="command", required=True, metavar="{demo,build,verify,compact,run,sweep,factor}"
    )
    for module in _COMMANDS:
        module.add_parser(commands)
    return parser


def _check_vector_width() -> None:
    """A TESSARY_SIMD this machine cannot honour stops the import of the modules that
    dispatch by vector width: found out before any work, not after a market or a store."""
    if os.environ.get("TESSARY_SIMD", "").strip():
        try:
            from tessary.backtest import _pnl_engine, _records  # noqa: F401
        except ImportError as exc:
            if str(exc).startswith("TESSARY_SIMD="):
                raise UserError(str(exc)) from None
            raise


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of ``tessary-backtest``; returns the exit status."""
    from tessary.exceptions import NetworkError, StoreCorruptError

    parser = make_parser()
    args = parser.parse_args(argv)  # usage errors exit with status 2
    try:
        _check_vector_width()
        return args.handler(args)
    except UserError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except NetworkError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except pickle.UnpicklingError as exc:  # a damaged store: its metadata file cannot be read
        print(f"{PROG}: error: damaged store metadata: {first_line(exc)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except StoreCorruptError as exc:  # the message says what is damaged and what to do
        print(f"{PROG}: error: {first_line(exc)}", file=sys.stderr)
        return 2
    except OSError as exc:
        if exc.errno not in _PLACE_ERRORS:
            return _unexpected(exc)
        # A path the user gave that cannot be written or read: a file where a directory
        # is expected, no permission, a read-only or virtual file system.
        where = f": {exc.filename}" if exc.filename else ""
        print(f"{PROG}: error: {exc.strerror or exc}{where}", file=sys.stderr)
        return 2
    except ModuleNotFoundError as exc:
        hint = " (install the command-line extras: pip install 'tessary[cli]')" if exc.name in _EXTRAS else ""
        print(f"{PROG}: error: {exc}{hint}", file=sys.stderr)
        return 1
    except Exception as exc:  # anything else is not the user's mistake, but still one line
        return _unexpected(exc)


def _unexpected(exc: BaseException) -> int:
    text = str(exc).splitlines()[0] if str(exc) else ""
    print(f"{PROG}: unexpected error: {type(exc).__name__}: {text}", file=sys.stderr)
    return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
