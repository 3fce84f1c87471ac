"""A sweep on a Dask cluster.

Only parameters travel: each task names the store by its path, and the worker opens
it itself (once per worker process, memory-mapped, see ``_market``) and runs one
batch of the sweep (``_batch``): its sets' weights and their pipeline variants. Only the rows come back. A worker process that dies is replaced
and its tasks run again elsewhere (Dask's own retry), giving the same rows.
"""

from __future__ import annotations

import dataclasses
import hashlib
import threading
import uuid
from collections.abc import Callable
from typing import Any

from tessary.sweep import _batch, _tasks
from tessary.sweep._batch import Batch

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


def cluster_threads(client: Any) -> int:
    """The threads of ``client``'s workers (at least 1)."""
    return sum(client.nthreads().values()) or 1


def run_on_client(client: Any, spec: _tasks.Spec, batches: list[Batch], on_row: Callable[[_tasks.Row], None]) -> None:
    """Runs every batch as one task of ``client``'s cluster, calling ``on_row`` as
    rows arrive. An interruption (Ctrl-C) cancels every task not yet
    finished and propagates."""
    from distributed import as_completed

    spec = dataclasses.replace(spec, strategy=ShippedFunction(spec.strategy))
    token = uuid.uuid4().hex[:12]
    futures = {}
    try:
        # One call for all tasks: the scheduler takes them in one graph update rather
        # than one update per task.
        submitted = client.map(
            _batch.run_batch,
            [spec] * len(batches),
            [batch.pieces for batch in batches],
            key=[f"tessary-sweep-{token}-{i}" for i in range(len(batches))],
            pure=False,
        )
        futures = {future: [v for piece in batch.pieces for v in piece.variants]
                   for future, batch in zip(submitted, batches)}
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
