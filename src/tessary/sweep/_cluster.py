"""A sweep on a Dask cluster.

Only parameters travel: each task names the store by its path, and the worker opens
it itself (once per worker process, memory-mapped, see ``_market``), computes the
weights of one set of strategy parameters and backtests them under that set's
pipeline variants. Only the rows come back. A worker process that dies is replaced
and its tasks run again elsewhere (Dask's own retry), giving the same rows.
"""

from __future__ import annotations

import dataclasses
import hashlib
import math
import threading
import uuid
from collections.abc import Callable
from typing import Any

from tessary.sweep import _path, _tasks
from tessary.sweep._grid import Group

DASK_HINT = "install the extra: pip install 'tessary[dask]'"


def require_client(client: object) -> Any:
    """``client`` after checking that it is a ``dask.distributed.Client``."""
    try:
        import distributed
    except ImportError:
        raise ImportError(f"client= needs dask.distributed, which is not installed ({DASK_HINT})") from None
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client, got {type(client).__name__}")
    return client


_loaded: dict[str, Callable] = {}
_loaded_lock = threading.Lock()


class ShippedFunction:
    """A function carried as cloudpickle bytes inside the task's arguments.

    Dask pickles a task with the plain pickler when it can, which names a function by
    its module; the scheduler and every worker would then have to import that module.
    Carried as bytes, the function travels with its code wherever cloudpickle does so
    (functions of ``__main__`` and of modules registered with
    ``cloudpickle.register_pickle_by_value``). A worker process loads it once.
    """

    def __init__(self, function: Callable) -> None:
        import cloudpickle

        self.blob = cloudpickle.dumps(function)
        self.digest = hashlib.sha256(self.blob).hexdigest()
        self.__name__ = getattr(function, "__name__", "strategy")

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        with _loaded_lock:
            function = _loaded.get(self.digest)
        if function is None:
            import pickle

            function = pickle.loads(self.blob)
            with _loaded_lock:
                _loaded[self.digest] = function
        return function(*args, **kwargs)


def _chunks(groups: list[Group], threads: int) -> list[tuple[Group, list]]:
    """The tasks: one per group, a group split into pieces when there are fewer groups
    than worker threads (each piece then computes the group's weights itself, on its
    own worker, rather than receiving them)."""
    pieces = max(1, math.ceil(threads / max(1, len(groups))))
    tasks = []
    for group in groups:
        variants = [(c.number, c.pipeline) for c in group.combinations]
        size = max(1, math.ceil(len(variants) / pieces))
        tasks.extend((group, variants[i : i + size]) for i in range(0, len(variants), size))
    return tasks


def run_on_client(client: Any, spec: _tasks.Spec, groups: list[Group], on_row: Callable[[_tasks.Row], None]) -> None:
    """Runs every combination of ``groups`` as tasks of ``client``'s cluster, calling
    ``on_row`` as rows arrive. An interruption (Ctrl-C) cancels every task not yet
    finished and propagates."""
    from distributed import as_completed

    threads = sum(client.nthreads().values()) or 1
    spec = dataclasses.replace(spec, strategy=ShippedFunction(spec.strategy))
    token = uuid.uuid4().hex[:12]
    tasks = _chunks(groups, threads)
    futures = {}
    try:
        # One call for all tasks: the scheduler takes them in one graph update rather
        # than one update per task.
        submitted = client.map(
            _path.run_group,
            [spec] * len(tasks),
            [group.strategy_params for group, _ in tasks],
            [variants for _, variants in tasks],
            key=[f"tessary-sweep-{token}-{i}" for i in range(len(tasks))],
            pure=False,
        )
        futures = {future: variants for future, (_, variants) in zip(submitted, tasks)}
        for future in as_completed(list(futures)):
            variants = futures.pop(future)
            try:
                rows = future.result()
            except Exception as exc:
                # What a run cannot survive, such as a task whose worker died every
                # time it was tried: its rows carry the cluster's error.
                rows = [_tasks.failed(number, _tasks.error_text(exc)) for number, _ in variants]
            for row in rows:
                on_row(row)
            future.release()
    except BaseException:
        if futures:
            client.cancel(list(futures))
        raise
