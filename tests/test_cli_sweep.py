"""``tessary-backtest sweep`` end to end: threads and a local cluster, the files it
writes, a strategy module of one's own, one-line errors and Ctrl-C."""

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
    code = main(["sweep", str(store_dir), "--strategy", "tessary.strategies:momentum", "--grid", "lookback=5,10",
                 "--grid", "share=0.1,0.3", "--grid", "fee=1e-4,3e-4", "--threads", "2", "--out", str(out)])
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


def test_sweep_on_a_local_cluster_with_a_strategy_of_ones_own(store_dir, own_module, capsys):
    code = main(["sweep", str(store_dir), "--strategy", "own_strategies:rev", "--grid", "lookback=3,5",
                 "--grid", "rolling_window=0,2", "--local-cluster", "2", "--out", "out"])
    printed = capsys.readouterr().out
    assert code == 0, printed
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
    code = main(["sweep", str(store_dir), "--strategy", "own_strategies:rev", "--grid",
                 "lookback=" + ",".join(map(str, range(2, 40))), "--grid", "pause=0.1", "--threads", "1",
                 "--out", "out"])
    assert code == 130
    assert "interrupted" in capsys.readouterr().err
    assert not (own_module / "out").exists()
