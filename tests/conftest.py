import os
import signal
import sys
import threading

import pytest

# Reference implementations beside the tests are imported as plain modules.
sys.path.insert(0, os.path.dirname(__file__))

# Fixtures shared by several test modules.
pytest_plugins = ["sweep_market"]


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
