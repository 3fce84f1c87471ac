"""A sweep on a pool of threads of this process.

Each set of strategy parameters is computed once; its backtests are then queued
ahead of new weight computations, so that at most as many weight matrices as there
are threads are alive at a time and every thread is kept busy. The engine and the
built-in strategies release the GIL, so the threads run in parallel.
"""

from __future__ import annotations

import queue
import threading
from collections import deque
from collections.abc import Callable
from concurrent.futures import FIRST_COMPLETED, Future, wait

from tessary.sweep import _tasks
from tessary.sweep._grid import Group


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


def run_on_threads(spec: _tasks.Spec, groups: list[Group], workers: int, on_row: Callable[[_tasks.Row], None]) -> None:
    """Runs every combination of ``groups`` on ``workers`` threads, calling ``on_row``
    (in this thread) as rows complete. On an interruption (Ctrl-C) nothing further is
    started, what was queued is dropped, and the exception propagates at once, even
    while a strategy hangs (its thread is a daemon and is left behind)."""
    pending = deque(groups)
    ready: deque = deque()  # (weights, combination) pairs waiting for a thread
    remaining: dict[int, int] = {}  # group id -> backtests not yet finished
    running: dict[Future, tuple] = {}
    pool = DaemonPool(workers)
    try:
        while True:
            while len(running) < workers and (ready or (pending and len(remaining) < workers)):
                if ready:
                    weights, gid, combo = ready.popleft()
                    future = pool.submit(_tasks.backtest, spec, weights, combo.number, combo.pipeline)
                    running[future] = ("backtest", gid, combo)
                else:
                    group = pending.popleft()
                    remaining[id(group)] = len(group.combinations)
                    future = pool.submit(_tasks.compute_weights, spec, group.strategy_params)
                    running[future] = ("weights", id(group), group)
            if not running:
                return
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                kind, gid, item = running.pop(future)
                if kind == "weights":
                    try:
                        weights = future.result()
                    except Exception as exc:
                        del remaining[gid]
                        for combo in item.combinations:
                            on_row(_tasks.failed(combo.number, _tasks.error_text(exc)))
                        continue
                    ready.extend((weights, gid, combo) for combo in item.combinations)
                else:
                    on_row(future.result())
                    remaining[gid] -= 1
                    if not remaining[gid]:
                        del remaining[gid]  # its weights are dropped with its last backtest
    finally:
        # Normally nothing is left; after an interruption the queued work is
        # cancelled and the threads finish the one step each is in, unwaited for.
        pool.shutdown()
