"""run_sweep: many backtests of one strategy over a grid of parameters."""

from __future__ import annotations

import math
import numbers
import os
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tessary.backtest import _between
from tessary.store.dates import date_argument
from tessary.sweep import _batch, _buffers, _cluster, _grid, _market, _result, _tasks, _threads
from tessary.sweep._progress import Progress


def _store_path(store: object) -> str:
    if isinstance(store, (str, os.PathLike)):
        return str(Path(store).expanduser().absolute())
    # A store object (BinaryPreparedDataStore) is named by its directory: workers open it themselves.
    store_dir = getattr(store, "store_dir", None)
    if isinstance(store_dir, (str, os.PathLike)):
        return str(Path(store_dir).expanduser().absolute())
    raise TypeError(f"store must be a store directory (str or path) or a store object, got {type(store).__name__}")


def _worker_count(workers: object, client: object) -> int:
    if workers is None:
        return os.cpu_count() or 1
    if client is not None:
        raise ValueError("workers= sizes the local thread pool; with client= the cluster's workers run the tasks")
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral) or workers < 1:
        raise ValueError(f"workers must be a positive integer, got {workers!r}")
    return int(workers)


def _timeout(timeout: object) -> float | None:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real) or not 0 < float(timeout) < math.inf:
        raise ValueError(f"timeout must be a positive number of seconds or None, got {timeout!r}")
    return float(timeout)


def _warn_rows(rows: list[_tasks.Row]) -> None:
    """One ``TessaryWarning`` per distinct warning text of the rows' inputs, naming the
    combinations that gave it."""
    from tessary.backtest._weights import first_few
    from tessary.exceptions import TessaryWarning

    numbers_of: dict[str, list[int]] = {}
    for row in rows:
        for text in row.warnings:
            numbers_of.setdefault(text, []).append(row.number)
    for text, numbers_ in numbers_of.items():
        # _warn_rows <- run_sweep <- its caller, the line the warning names
        warnings.warn(f"combination(s) {first_few(numbers_)}: {text}", TessaryWarning, stacklevel=3)


def run_sweep(
    store: Any,
    strategy: Callable,
    grid: Any,
    *,
    start_date: Any = None,
    end_date: Any = None,
    benchmark: str = "000852",
    client: Any = None,
    workers: int | None = None,
    keep_returns: bool = True,
    progress: bool = True,
    timeout: float | None = None,
    between: str = "resize",
    memory_limit: int | None = None,
) -> _result.SweepResult:
    """Backtests ``strategy`` for every combination of ``grid`` over the store's
    ``start_date``..``end_date`` (inclusive, None = unbounded).

    ``strategy(market, **params)`` returns a date x stock weight DataFrame on dates and
    codes of the store; ``market`` is a dict of the store's frames over the range
    (read-only memory maps). ``grid`` is a dict of name -> list of values (their
    Cartesian product, the last name varying fastest) or a list of dicts. The names
    ``rolling_window``, ``total_money``, ``fee``, ``rule_fee`` and ``between`` go to
    the backtest pipeline, all others to the strategy; each distinct set of strategy
    parameters is computed once and backtested under every pipeline variant.

    ``between``: the rule between the dates the strategy gives weights on, as
    ``run_backtest``'s: "resize" (default) or "hold"; a grid value of ``between``
    overrides it for its combinations.

    With ``client`` None the work runs on ``workers`` threads of this process (default:
    the number of cores). With a ``dask.distributed.Client`` every task runs on a
    worker of its cluster, which opens the store at the same path itself; only
    parameters are sent and only rows come back.

    The strategy's weights are taken as ``run_backtest`` takes them: the same date and
    code forms (a DatetimeIndex too), weights given on rebalance dates carried onto the
    store's trading days, from the first given date (or ``start_date``) to the last
    one (or ``end_date``); the warnings ``run_backtest`` gives come as one
    ``TessaryWarning`` per text, naming the combinations.

    The grid runs in batches: several sets of strategy parameters at a time, their
    weights computed, smoothed once per ``rolling_window`` and their cost variants
    priced together. ``memory_limit`` (bytes; default a quarter of this machine's
    memory) bounds the weight matrices the batches running at once hold, beside the
    store's memory-mapped market; a smaller limit means smaller batches and the same
    rows. On a cluster each task is one batch.

    Mistakes that need no run (an empty grid, an unknown name, values that are not
    lists, a bad pipeline value, a missing store, an unknown benchmark) raise before
    any task starts; a failure of one combination (the strategy raising, returning
    something other than a weight DataFrame on the store's dates and codes, or the
    backtest failing) fills that row's ``error`` and the others complete. With
    ``timeout`` (seconds), a strategy call or a backtest that runs longer fails its
    rows with a TimeoutError text; its thread is left running in the background.
    Ctrl-C cancels what has not started and raises KeyboardInterrupt at once, also
    while a strategy hangs; nothing is returned.
    """
    store_dir = _store_path(store)
    if not callable(strategy):
        raise TypeError(f"strategy must be a function strategy(market, **params), got {type(strategy).__name__}")
    start, end = date_argument(start_date, "start_date"), date_argument(end_date, "end_date")
    if start and end and start > end:
        raise ValueError(f"start_date {start} lies after end_date {end}")
    if not isinstance(benchmark, str):
        raise TypeError(f"benchmark must be a benchmark name such as '000852', got {type(benchmark).__name__}")
    between = _between.check_between(between)
    threads = _worker_count(workers, client)
    limit = _timeout(timeout)
    memory = _batch.check_memory_limit(memory_limit)
    if client is not None:
        _cluster.require_client(client)
    names, combos = _grid.combinations(grid, strategy)

    if client is None:
        described = _market.describe(store_dir, start, end)
    else:
        # Asked where the store lives: the machines of the cluster.
        described = client.submit(_market.describe, store_dir, start, end, pure=False).result()
    if described["dates"] < 2:
        raise ValueError(f"the store {store_dir} holds {described['dates']} date(s) in the chosen range; "
                         "a backtest needs at least two")
    benchmarks = described["benchmarks"]
    if benchmark not in benchmarks:
        raise ValueError(f"unknown benchmark {benchmark!r} (the store has: {', '.join(benchmarks) or 'none'})")
    clash = sorted(set(names) & set(_result.result_columns(benchmarks)))
    if clash:
        raise ValueError(f"grid name(s) {', '.join(map(repr, clash))} collide with columns of the result table")

    spec = _tasks.Spec(store_dir, start, end, benchmark, strategy, bool(keep_returns), limit, between)
    groups = _grid.group_by_strategy(combos)
    concurrent = threads if client is None else _cluster.cluster_threads(client)
    batches = _batch.plan(groups, described["dates"], described["stocks"], memory, concurrent)
    rows: list[_tasks.Row | None] = [None] * len(combos)
    kept = _result.ReturnsTable(len(combos)) if keep_returns else None
    label = getattr(strategy, "__name__", "strategy")
    bar = Progress(len(combos), f"sweep of {label}", bool(progress))

    def on_row(row: _tasks.Row) -> None:
        if kept is not None and row.daily_return is not None:
            kept.add(row.number, row.daily_return, row.return_dates)
            row.daily_return = row.return_dates = None  # held once, in the table of returns
        rows[row.number] = row
        bar.advance(row.error is not None)

    try:
        if client is None:
            # The smoothed matrices' arrays reused between paths, within the memory
            # the batches may use.
            with _buffers.reusing(memory):
                _threads.run_on_threads(spec, batches, threads, on_row)
        else:
            _cluster.run_on_client(client, spec, batches, on_row)
    finally:
        bar.close()
    missing = [i for i, row in enumerate(rows) if row is None]
    if missing:  # a scheduler lost rows: a fault of this package, never a silent gap
        raise RuntimeError(f"the sweep lost {len(missing)} row(s), the first being combination {missing[0]}")
    done = [row for row in rows if row is not None]
    _warn_rows(done)
    table = _result.build_table(names, [c.params for c in combos], done, benchmarks)
    returns = kept.frame() if kept is not None else None
    return _result.SweepResult(table, returns, names)
