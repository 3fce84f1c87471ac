"""A sweep on a pool of threads of this process.

Each thread runs one batch at a time (its sets' weights, their paths and rows), so
that the weight matrices alive at a time are those of as many batches as there are
threads. The engine and the built-in strategies release the GIL, so the threads run
in parallel.
"""

from __future__ import annotations

import queue
import threading
from collections import deque
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Future, wait

from tessary.sweep import _batch, _tasks
from tessary.sweep._batch import Batch


class DaemonPool:
    """A pool of daemon threads that is never joined.

    A strategy that never returns must not keep the process alive: after Ctrl-C the
    sweep stops waiting and the interpreter exits, leaving such a thread behind
    (the standard executor's threads are joined at exit, which would wait forever).
    """

    def __init__(self, workers: int, name: str = "tessary-sweep") -> None:
        self._queue: queue.SimpleQueue = queue.SimpleQueue()
        self._threads = [
            threading.Thread(target=self._work, name=f"{name}_{i}", daemon=True) for i in range(workers)
        ]
        for thread in self._threads:
            thread.start()

    def _work(self) -> None:
        while True:
            item = self._queue.get()
            if item is None:
                return
            future, function, args = item
            if not future.set_running_or_notify_cancel():
                continue
            try:
                result = function(*args)
            except BaseException as exc:  # handed to the waiting thread, which decides
                future.set_exception(exc)
            else:
                future.set_result(result)

    def submit(self, function: Callable, *args) -> Future:
        future: Future = Future()
        self._queue.put((future, function, args))
        return future

    def shutdown(self) -> None:
        """Cancels what has not started and lets each thread end after its current
        task, without waiting for it."""
        while True:
            try:
                item = self._queue.get_nowait()
            except queue.Empty:
                break
            if item is not None:
                item[0].cancel()
        for _ in self._threads:
            self._queue.put(None)


def run_on_threads(spec: _tasks.Spec, batches: list[Batch], workers: int, on_row: Callable[[_tasks.Row], None]) -> None:
    """Runs every batch on ``workers`` threads, calling ``on_row`` (in this thread) as
    rows complete. At most one batch per thread is alive at a time. On an
    interruption (Ctrl-C) nothing further is started, what was queued is dropped, and
    the exception propagates at once, even while a strategy hangs (its thread is a
    daemon and is left behind)."""
    pending = deque(batches)
    running: set[Future] = set()
    pool = DaemonPool(workers)
    try:
        while pending or running:
            while pending and len(running) < workers:
                running.add(pool.submit(_batch.run_batch, spec, pending.popleft().pieces))
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                running.discard(future)
                for row in future.result():
                    on_row(row)
    finally:
        # Normally nothing is left; after an interruption the queued work is
        # cancelled and the threads finish the one step each is in, unwaited for.
        pool.shutdown()
