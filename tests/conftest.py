import os
import signal
import socket
import sys
import threading

import pytest

# Reference implementations beside the tests are imported as plain modules.
sys.path.insert(0, os.path.dirname(__file__))

# Fixtures shared by several test modules.
pytest_plugins = ["sweep_market"]


@pytest.fixture(scope="module")
def close(store):
    """The close prices of the test module's own ``store`` fixture, in memory."""
    return store.load(keys=["close_price"], mmap=False)["data"]["close_price"]


@pytest.fixture
def ctrl_c():
    """`ctrl_c(seconds)` presses Ctrl-C on this process after that delay. Python's own
    handler is in place for the test: a process that a shell starts in the background
    ignores SIGINT, and the interrupt would never arrive."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timers = []

    def press(seconds):
        timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
        timers.append(timer)
        timer.start()

    yield press
    for timer in timers:
        timer.cancel()
    signal.signal(signal.SIGINT, previous)


@pytest.fixture(scope="module")
def port_8787_held():
    """Dask's customary dashboard port, held while the test runs: the clusters of the
    package and of the tests must not need it, as on a shared machine another program
    may hold it. Already held by another program, it serves the same purpose."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        holder.bind(("0.0.0.0", 8787))
        holder.listen(1)
    except OSError:
        pass
    yield
    holder.close()
