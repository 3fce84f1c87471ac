"""``tessary-backtest sweep`` end to end: threads and a local cluster, the files it
writes, a strategy module of one's own, one-line errors and Ctrl-C."""

import sys
import warnings

import pandas as pd
import pytest

from sweep_market import write_store
from tessary.cli import main
from tessary.strategies import momentum
from tessary.sweep import run_sweep

OWN_MODULE = '''
import time
from tessary.strategies import reversal

def rev(market, lookback=5, pause=0.0):
    time.sleep(pause)
    return reversal(market, lookback=lookback)
'''


def sweep(store_dir, strategy, grids, *options, out="out"):
    """`tessary-backtest sweep` of a strategy over the --grid options `grids`; the exit code."""
    argv = ["sweep", str(store_dir), "--strategy", strategy]
    for grid in grids:
        argv += ["--grid", grid]
    return main([*argv, *options, "--out", str(out)])


@pytest.fixture(scope="module")
def store_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli_sweep") / "store"
    write_store(path, n_dates=80, n_stocks=25, seed=5)
    return path


@pytest.fixture
def own_module(tmp_path, monkeypatch):
    (tmp_path / "own_strategies.py").write_text(OWN_MODULE)
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


def test_sweep_on_threads_writes_table_returns_and_heatmap(store_dir, tmp_path, capsys):
    out = tmp_path / "out"
    code = sweep(store_dir, "tessary.strategies:momentum", ["lookback=5,10", "share=0.1,0.3", "fee=1e-4,3e-4"],
                 "--threads", "2", out=out)
    printed = capsys.readouterr().out
    assert code == 0
    expected = run_sweep(store_dir, momentum, {"lookback": [5, 10], "share": [0.1, 0.3], "fee": [1e-4, 3e-4]},
                         workers=1, progress=False)
    pd.testing.assert_frame_equal(pd.read_parquet(out / "sweep.parquet"), expected.table, check_exact=True)
    from_csv = pd.read_csv(out / "sweep.csv", index_col="combination")
    pd.testing.assert_frame_equal(from_csv.drop(columns="error"), expected.table.drop(columns="error"), rtol=1e-14)
    returns = pd.read_parquet(out / "daily_returns.parquet")
    assert returns.shape == expected.daily_returns.shape
    with open(out / "heatmap_long_sharp.png", "rb") as fh:
        assert fh.read(8) == b"\x89PNG\r\n\x1a\n"
    lines = printed.splitlines()
    assert lines[0].startswith("8 combinations of tessary.strategies:momentum on threads of this process")
    best = expected.table["long_sharp"].idxmax()
    header = lines.index("best 5 by Sharpe ratio:")
    assert lines[header + 3].split()[0] == str(best)
    assert lines[-1].endswith("heatmap_long_sharp.png")


def test_sweep_on_a_local_cluster_with_a_strategy_of_ones_own(store_dir, own_module, capsys, port_8787_held):
    code = sweep(store_dir, "own_strategies:rev", ["lookback=3,5", "rolling_window=0,2"], "--local-cluster", "2")
    printed, err = capsys.readouterr()
    assert code == 0 and "8787" not in err and "in use" not in err, err
    assert "on a local cluster of 2 processes" in printed.splitlines()[0]
    import own_strategies

    expected = run_sweep(store_dir, own_strategies.rev, {"lookback": [3, 5], "rolling_window": [0, 2]}, workers=2,
                         progress=False)
    pd.testing.assert_frame_equal(pd.read_parquet(own_module / "out" / "sweep.parquet"), expected.table,
                                  check_exact=True)


@pytest.mark.parametrize("argv,match", [
    (["--strategy", "momentum"], "give at least one --grid"),
    (["--strategy", "momentum", "--grid", "lookback"], "--grid takes NAME=V1,V2"),
    (["--strategy", "momentum", "--grid", "lookback=5", "--grid", "lookback=6"], "names 'lookback' twice"),
    (["--strategy", "momentum", "--grid", "lookbak=5"], "'lookbak' are neither pipeline parameters"),
    (["--strategy", "momentum", "--grid", "fee=x"], "fee must be a number, not str"),
    (["--strategy", "momentum", "--grid", "fee=2.0"], "fee must be finite and >= 0 and < 1, not 2.0"),
    (["--strategy", "no_such_module:f", "--grid", "a=1"], "cannot import the strategy module 'no_such_module'"),
    (["--strategy", "tessary.strategies:nothing", "--grid", "a=1"], "has no function 'nothing'"),
    (["--strategy", "momentum", "--grid", "lookback=5", "--benchmark", "399001"], "unknown benchmark '399001'"),
    (["--strategy", "momentum", "--grid", "lookback=5", "--start", "20990101"], "holds 0 date(s)"),
])
def test_mistakes_are_one_line_errors_and_write_nothing(store_dir, tmp_path, capsys, argv, match):
    out = tmp_path / "out"
    code = main(["sweep", str(store_dir), *argv, "--out", str(out)])
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if line.strip()]
    assert code == 2
    assert lines[-1].startswith("tessary-backtest: error: ") and match in lines[-1], err
    assert not out.exists()


def test_ctrl_c_stops_the_sweep_and_writes_nothing(store_dir, own_module, capsys, ctrl_c):
    ctrl_c(0.5)
    code = sweep(store_dir, "own_strategies:rev", ["lookback=" + ",".join(map(str, range(2, 40))), "pause=0.1"],
                 "--threads", "1")
    assert code == 130
    assert "interrupted" in capsys.readouterr().err
    assert not (own_module / "out").exists()


def test_a_missing_parquet_writer_is_found_before_the_sweep(store_dir, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # as if not installed
    code = sweep(store_dir, "own_strategies:nothing", ["lookback=3"], out=tmp_path / "out")
    err = capsys.readouterr().err
    assert code == 2 and err == "tessary-backtest: error: the sweep writes parquet files, which needs pyarrow: pip install pyarrow\n"
    assert not (tmp_path / "out").exists()
HANGING_MODULE = '''
import pathlib
import time


def hang(market, lookback=5):
    pathlib.Path("hanging").touch()  # tells the test that a strategy is stuck
    while True:
        time.sleep(0.05)
'''


def test_one_ctrl_c_stops_a_sweep_whose_strategy_hangs(store_dir, tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    (tmp_path / "hanging_strategy.py").write_text(HANGING_MODULE)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), *sys.path])}
    # SIGINT back to its default: a shell's background job would pass it on ignored.
    proc = subprocess.Popen(
        [sys.executable, "-m", "tessary.cli", "sweep", str(store_dir), "--strategy", "hanging_strategy:hang",
         "--grid", "lookback=3,5,7", "--threads", "2", "--out", "out"],
        cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        deadline = time.monotonic() + 60
        while not (tmp_path / "hanging").exists():
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline, "the strategy never started"
            time.sleep(0.05)
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 130, err
    assert "interrupted" in err
    assert not (tmp_path / "out").exists()


def test_a_sweep_in_which_everything_failed_exits_1_with_the_errors(store_dir, tmp_path, capsys):
    out = tmp_path / "out"
    code = sweep(store_dir, "sweep_strategies:picky", ["lookback=5", "fail_on=5", "fee=1e-4,2e-4"], "--threads", "2",
                 out=out)
    err = capsys.readouterr().err
    assert code == 1
    assert "tessary-backtest: error: all 2 combinations failed; nothing was written" in err
    assert "  2 x ValueError: no weights for lookback 5 (first: combination 0)" in err
    assert not out.exists()


def test_timeout_option_fails_the_slow_combinations(store_dir, own_module, capsys):
    code = sweep(store_dir, "own_strategies:rev", ["pause=0,30"], "--timeout", "1.5", "--threads", "2")
    assert code == 0
    table = pd.read_csv(own_module / "out" / "sweep.csv", index_col="combination")
    assert pd.isna(table.loc[0, "error"])
    assert table.loc[1, "error"] == "TimeoutError: the strategy ran longer than the timeout of 1.5 s"
    assert "1 failed" in capsys.readouterr().out


DIE_ONCE = '''
import os

try:
    os.close(os.open(os.environ["TESSARY_TEST_DIE_MARKER"], os.O_CREAT | os.O_EXCL | os.O_WRONLY))
except FileExistsError:
    pass
else:
    os._exit(3)  # the first worker process to start dies during the cluster's start
'''


def test_a_worker_that_dies_while_the_local_cluster_starts_is_retried(store_dir, own_module, monkeypatch, capsys):
    dask = pytest.importorskip("dask")
    pytest.importorskip("distributed")
    (own_module / "die_once.py").write_text(DIE_ONCE)
    monkeypatch.setenv("TESSARY_TEST_DIE_MARKER", str(own_module / "died"))
    # Another cluster on this machine may hold the scheduler's default HTTP port; its
    # warning is not what this test is about.
    with dask.config.set({"distributed.worker.preload": ["die_once"]}), warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Port 8787 is already in use")
        code = sweep(store_dir, "own_strategies:rev", ["lookback=3,5"], "--local-cluster", "1")
    assert (own_module / "died").exists()
    assert code == 0, capsys.readouterr().err
    assert (own_module / "out" / "sweep.csv").exists()


@pytest.mark.parametrize("size, expected", [("512K", 512 * 2**10), ("1.5g", 3 * 2**29), ("64MiB", 64 * 2**20),
                                            ("4096", 4096), ("0", None), ("lots", None), ("-1M", None)])
def test_memory_limit_option_takes_sizes_and_refuses_others(size, expected):
    import argparse

    from tessary.cli._common import byte_size

    if expected is None:
        with pytest.raises(argparse.ArgumentTypeError):
            byte_size(size)
    else:
        assert byte_size(size) == expected


def test_a_small_memory_limit_gives_the_same_table(store_dir, tmp_path, capsys):
    grids = ["lookback=3,5", "fee=0,0.0003", "rolling_window=0,2"]
    assert sweep(store_dir, "momentum", grids, "--threads", "2", out=tmp_path / "a") == 0
    assert sweep(store_dir, "momentum", grids, "--threads", "2", "--memory-limit", "1K", out=tmp_path / "b") == 0
    capsys.readouterr()
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "b" / "sweep.parquet"),
                                  pd.read_parquet(tmp_path / "a" / "sweep.parquet"), check_exact=True)
