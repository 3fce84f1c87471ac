"""Mistakes of the user are one line and exit status 2; a malformed store is DAMAGED
(exit 1) for `verify`, never a traceback. Tests run as root, for whom permissions stop
nothing: unwritable places are a virtual file system (/proc) or a file where a
directory is expected."""

import pickle

import numpy as np
import pandas as pd
import pytest

from tessary import cli
from tessary.store import BinaryPreparedDataStoreBase
from tessary.store.metadata import sealed


def one_line_error(capsys, *argv, match):
    code = cli.main(list(argv))
    err = capsys.readouterr().err
    lines = [line for line in err.splitlines() if line.strip()]
    assert code == 2, err
    assert lines and lines[-1].startswith("tessary-backtest: error: ") and match in lines[-1], err
    assert "Traceback" not in err and "unexpected" not in err


@pytest.fixture
def store_dir(tmp_path):
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-01", periods=5)]
    store = BinaryPreparedDataStoreBase(tmp_path / "store", {"close_price": "float64"}, 1, "float64")
    frame = pd.DataFrame(np.ones((5, 2)), index=dates, columns=["000001", "600000"])
    store.write_payload({"version": 1, "meta": {}, "data": {"close_price": frame}})
    return store.store_dir


@pytest.fixture
def file_in_the_way(tmp_path):
    path = tmp_path / "a-file"
    path.write_text("x")
    return path


def test_demo_years_out_of_range(capsys, tmp_path):
    with pytest.raises(SystemExit) as exc:
        cli.main(["demo", "--out", str(tmp_path), "--years", "1e9"])
    err = capsys.readouterr().err
    assert exc.value.code == 2 and "at most 200" in err and "Traceback" not in err


@pytest.mark.parametrize("where", ["/proc/nope", "/proc/nope/deeper", "file/below"])
@pytest.mark.parametrize("command", ["demo", "run", "sweep"])
def test_unwritable_out_directories(capsys, tmp_path, store_dir, file_in_the_way, command, where):
    out = str(file_in_the_way / "below") if where == "file/below" else where
    weights = tmp_path / "w.csv"
    pd.DataFrame({"date": ["20240101", "20240102"], "000001": [0.5, 0.5]}).to_csv(weights, index=False)
    argv = {
        "demo": ["demo", "--out", out],
        "run": ["run", str(weights), str(store_dir), "--out", out],
        "sweep": ["sweep", str(store_dir), "--strategy", "momentum", "--out", out],
    }[command]
    one_line_error(capsys, *argv, match="--out")


@pytest.mark.parametrize("where", ["/proc/nope/store", "file/store"])
def test_build_into_an_unwritable_place(capsys, tmp_path, file_in_the_way, where):
    database = tmp_path / "db.duckdb"
    database.write_bytes(b"")
    store = str(file_in_the_way / "store") if where == "file/store" else where
    one_line_error(capsys, "build", str(database), store, "--full", match="store")


def test_build_full_into_a_store_that_cannot_be_written(capsys, tmp_path, monkeypatch, store_dir):
    """The store's data directory replaced by a file: its rewrite fails, in one line."""
    from tessary import build

    def write_fails(*args, **kwargs):
        BinaryPreparedDataStoreBase(store_dir, {"close_price": "float64"}, 1, "float64").write_payload(
            {"version": 1, "meta": {}, "data": {"close_price": pd.DataFrame(
                np.ones((1, 1)), index=["20240201"], columns=["000001"])}})

    import shutil

    shutil.rmtree(store_dir / "data")
    (store_dir / "data").write_text("not a directory")
    monkeypatch.setattr(build, "build_store", write_fails)
    one_line_error(capsys, "build", str(tmp_path / "db.duckdb"), str(store_dir), "--full", match="data")


def test_verify_of_an_unreadable_store(capsys, store_dir, monkeypatch):
    import os

    real = os.listdir

    def refused(path="."):
        if str(path) == str(store_dir):
            raise PermissionError(13, "Permission denied", str(path))
        return real(path)

    monkeypatch.setattr(os, "listdir", refused)
    one_line_error(capsys, "verify", str(store_dir), match="Permission denied")


@pytest.mark.parametrize("source, match", [("def f(:\n", "syntax error"), ("raise RuntimeError('boom')\n", "boom")])
def test_a_strategy_module_that_does_not_import(capsys, tmp_path, store_dir, monkeypatch, source, match):
    (tmp_path / "broken_strategy_mod.py").write_text(source)
    monkeypatch.syspath_prepend(str(tmp_path))
    one_line_error(capsys, "sweep", str(store_dir), "--strategy", "broken_strategy_mod:f",
                   "--out", str(tmp_path / "out"), match="broken_strategy_mod")


MALFORMED = {
    "no metadata": lambda d: (d / "metadata.pkl").unlink(),
    "unknown format": lambda d: (d / "metadata.pkl").write_bytes(sealed(pickle.dumps({"format": 99}))),
    "unknown version": lambda d: (d / "metadata.pkl").write_bytes(sealed(pickle.dumps({"version": 7}))),
    "garbage": lambda d: (d / "metadata.pkl").write_bytes(b"\x80\x05garbage"),
    "a pickle of the wrong shape": lambda d: (d / "metadata.pkl").write_bytes(pickle.dumps({1: {2: 3}}) + b"x"),
    "unhashable dict key": lambda d: (d / "metadata.pkl").write_bytes(b"\x80\x05}](K\x01e]s."),
    "datasets not a dict": lambda d: (d / "metadata.pkl").write_bytes(pickle.dumps({"datasets": [1]})),
    "descriptor of the wrong type": lambda d: (d / "metadata.pkl").write_bytes(
        pickle.dumps({"datasets": {"close_price": {"shape": "x", "extents": 5}}})),
}


@pytest.mark.parametrize("case", list(MALFORMED))
def test_verify_reports_every_malformed_store_as_damaged(capsys, store_dir, case):
    MALFORMED[case](store_dir)
    store = BinaryPreparedDataStoreBase(store_dir, {"close_price": "float64"}, 1, "float64")
    assert store.verify(), case
    assert cli.main(["verify", str(store_dir)]) == 1
    captured = capsys.readouterr()
    assert "DAMAGED" in captured.out and "Traceback" not in captured.err + captured.out
