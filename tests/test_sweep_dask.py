"""Sweeps on a real Dask LocalCluster with worker processes: the same rows as on
threads, the store opened once per worker process, a failing combination, and a
worker killed mid-sweep."""

import os
import signal
import threading
import time

import pandas as pd
import pytest

import sweep_strategies as strategies
from sweep_market import GRID
from tessary.strategies import momentum
from tessary.sweep import run_sweep
from tessary.sweep import _market
from tessary.sweep._command import LOCAL_CLUSTER

distributed = pytest.importorskip("distributed")

@pytest.fixture(scope="module")
def client(port_8787_held):
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="2GiB",
                                       death_timeout=60, **LOCAL_CLUSTER)
    client = distributed.Client(cluster, timeout=60)
    try:
        client.wait_for_workers(2, timeout=60)
        yield client
    finally:
        client.close()
        cluster.close()


def test_cluster_rows_equal_thread_rows_to_the_bit(sweep_store, client):
    threaded = run_sweep(sweep_store, momentum, GRID, workers=2, progress=False)
    clustered = run_sweep(sweep_store, momentum, GRID, client=client, progress=False)
    pd.testing.assert_frame_equal(clustered.table, threaded.table, check_exact=True)
    pd.testing.assert_frame_equal(clustered.daily_returns, threaded.daily_returns, check_exact=True)
    # One pipeline variant group per strategy setting, or fewer settings than threads: both paths.
    few = {"lookback": [5], "fee": [1e-4, 2e-4, 3e-4]}
    pd.testing.assert_frame_equal(run_sweep(sweep_store, momentum, few, client=client, progress=False).table,
                                  run_sweep(sweep_store, momentum, few, workers=1, progress=False).table, check_exact=True)


def test_each_worker_process_opens_the_store_once(sweep_store, client):
    path = str(sweep_store)
    ids = client.gather([client.submit(lambda i: (os.getpid(), id(_market.open_market(path, None, None))), i, pure=False)
                         for i in range(8)])
    by_process = {}
    for pid, market_id in ids:
        by_process.setdefault(pid, set()).add(market_id)
    assert os.getpid() not in by_process
    assert all(len(markets) == 1 for markets in by_process.values())


def test_failing_combination_and_bad_input_on_the_cluster(sweep_store, client, tmp_path):
    table = run_sweep(sweep_store, strategies.picky, {"lookback": [5, 7], "fail_on": [7]}, client=client,
                      progress=False).table
    assert table["error"].tolist() == [None, "ValueError: no weights for lookback 7"]
    with pytest.raises(FileNotFoundError, match="store not found"):
        run_sweep(tmp_path / "nowhere", momentum, {"lookback": [5]}, client=client, progress=False)
    with pytest.raises(ValueError, match="workers= sizes the local thread pool"):
        run_sweep(sweep_store, momentum, {"lookback": [5]}, client=client, workers=2, progress=False)


def test_a_strategy_module_the_workers_lack_travels_by_value(sweep_store, client, tmp_path):
    import importlib.util
    import sys

    import cloudpickle

    (tmp_path / "only_here.py").write_text(
        "from tessary.strategies import reversal\n\ndef rev(market, lookback=5):\n    return reversal(market, lookback=lookback)\n"
    )
    spec = importlib.util.spec_from_file_location("only_here", tmp_path / "only_here.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["only_here"] = module
    cloudpickle.register_pickle_by_value(module)
    try:
        assert not any(client.run(lambda: __import__("importlib.util").util.find_spec("only_here") is not None).values())
        clustered = run_sweep(sweep_store, module.rev, {"lookback": [3, 5]}, client=client, progress=False)
    finally:
        cloudpickle.unregister_pickle_by_value(module)
        del sys.modules["only_here"]
    threaded = run_sweep(sweep_store, module.rev, {"lookback": [3, 5]}, workers=1, progress=False)
    pd.testing.assert_frame_equal(clustered.table, threaded.table, check_exact=True)

def test_ctrl_c_cancels_the_tasks_on_the_cluster(sweep_store, client, ctrl_c):
    ctrl_c(1.0)
    with pytest.raises(KeyboardInterrupt):
        run_sweep(sweep_store, strategies.slow, {"lookback": list(range(2, 30)), "pause": [0.5]}, client=client,
                  progress=False)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        left = [k for keys in client.processing().values() for k in keys if "tessary-sweep-" in str(k)]
        if not left:
            break
        time.sleep(0.1)
    assert not left, left

def test_a_worker_killed_mid_sweep_changes_nothing(sweep_store, client):
    grid = {"lookback": [4, 5, 6, 7, 8, 9], "pause": [1.0]}
    expected = run_sweep(sweep_store, strategies.slow, grid, workers=2, progress=False)
    killed = []

    def kill_a_busy_worker():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not killed:
            busy = [w for w, keys in client.processing().items() if any("tessary-sweep-" in str(k) for k in keys)]
            if busy:
                pid = client.run(os.getpid, workers=[busy[0]])[busy[0]]
                time.sleep(0.3)  # inside the task's pause
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
            time.sleep(0.05)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        result = run_sweep(sweep_store, strategies.slow, grid, client=client, progress=False)
    finally:
        killer.join()
    assert killed, "no worker was busy with a sweep task"
    assert killed[0] not in client.run(os.getpid).values()
    pd.testing.assert_frame_equal(result.table, expected.table, check_exact=True)



@pytest.mark.parametrize("memory_limit", [1, None])
def test_batches_of_any_size_give_the_thread_rows_on_the_cluster(sweep_store, client, memory_limit):
    """One path a task (the smallest limit) or the whole grid in as many tasks as the
    cluster has threads: the rows of the threads either way."""
    grid = {"lookback": [5, 7, 9], "rolling_window": [0, 3], "fee": [1e-4, 3e-4], "between": ["resize", "hold"]}
    threaded = run_sweep(sweep_store, momentum, grid, workers=2, progress=False)
    started = time.monotonic()
    clustered = run_sweep(sweep_store, momentum, grid, client=client, progress=False, memory_limit=memory_limit)
    assert time.monotonic() - started < 60
    pd.testing.assert_frame_equal(clustered.table, threaded.table, check_exact=True)
    pd.testing.assert_frame_equal(clustered.daily_returns, threaded.daily_returns, check_exact=True)
