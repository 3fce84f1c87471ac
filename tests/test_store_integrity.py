"""Damaged stores: every load checks axes, file kinds, sizes and the metadata's size;
verify() (and `tessary-backtest verify`) reads every byte and names what is damaged."""

import os
import pickle
import signal
import threading

import numpy as np
import pandas as pd
import pytest

from store_files import two_extent_store
from tessary import cli
from tessary.store.metadata import sealed

DTYPES = {"f64": "float64", "f32": "float32", "flag": "bool"}
DATES = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-01", periods=30)]
CODES = [f"{600000 + i:06d}" for i in range(12)]


def payload(lo=0, hi=30, seed=0):
    rng = np.random.default_rng(seed)
    data = {
        "f64": pd.DataFrame(rng.normal(size=(hi - lo, 12)), index=DATES[lo:hi], columns=CODES),
        "f32": pd.DataFrame(rng.normal(size=(hi - lo, 12)).astype(np.float32), index=DATES[lo:hi], columns=CODES),
        "flag": pd.DataFrame(rng.random((hi - lo, 12)) > 0.5, index=DATES[lo:hi], columns=CODES),
        "benchmark_dict": {"000300": pd.Series(rng.normal(size=hi - lo), index=DATES[lo:hi], name="r")},
    }
    return {"version": 1, "meta": {}, "data": data}


@pytest.fixture
def store(tmp_path):
    return two_extent_store(tmp_path / "store", DTYPES, payload)


def path_of(store, key, field="file"):
    return store.store_dir / store.load_metadata()["datasets"][key][field]


def rewrite_axis(store, key, field, change):
    """Replaces an axis file's content (same name) by `change(labels)`."""
    path = path_of(store, key, field)
    labels = np.load(path)
    path.unlink()
    np.save(path, change(labels))


def set_metadata(store, change):
    """Rewrites the metadata as a crafted file would be: changed, with a matching checksum."""
    metadata = store.load_metadata()
    change(metadata)
    store.metadata_path.write_bytes(sealed(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL)))


def flip_byte(path, offset):
    with open(path, "r+b") as fh:
        fh.seek(offset)
        byte = fh.read(1)
        fh.seek(offset)
        fh.write(bytes([byte[0] ^ 0x40]))


def swap_files(a, b):
    tmp = a.with_name("swap")
    os.replace(a, tmp)
    os.replace(b, a)
    os.replace(tmp, b)


CAUGHT_ON_LOAD = {
    "shuffled dates": (lambda s: rewrite_axis(s, "f64", "index", lambda d: np.random.default_rng(0).permutation(d)),
                       "checksum"),
    "shifted dates": (lambda s: rewrite_axis(s, "f64", "index", lambda d: np.array(
        [x.replace("2024", "2025") for x in d])), "checksum"),
    "reversed codes": (lambda s: rewrite_axis(s, "f64", "columns", lambda c: c[::-1]), "checksum"),
    "two data files swapped": (lambda s: swap_files(path_of(s, "f64"), path_of(s, "f32")), "belongs to dataset"),
    "metadata names another dataset's file": (
        lambda s: set_metadata(s, lambda m: m["datasets"]["f64"].update(file=m["datasets"]["f32"]["file"])),
        "belongs to dataset 'f32'"),
    "truncated data file": (lambda s: os.truncate(path_of(s, "f64"), 8192), "truncated"),
    "data file replaced by a FIFO": (lambda s: (path_of(s, "f64").unlink(), os.mkfifo(path_of(s, "f64"))),
                                     "not a regular file"),
    "metadata replaced by a FIFO": (lambda s: (s.metadata_path.unlink(), os.mkfifo(s.metadata_path)),
                                    "not a regular file"),
    "axis replaced by a directory": (lambda s: (path_of(s, "f64", "index").unlink(),
                                                path_of(s, "f64", "index").mkdir()), "not a regular file"),
    "axis header announcing more than it holds": (
        lambda s: path_of(s, "f64", "index").write_bytes(
            path_of(s, "f64", "index").read_bytes().replace(b"(30,)", b"(9999999999,)")), "announces"),
    "extents out of order": (
        lambda s: set_metadata(s, lambda m: m["datasets"]["f64"]["extents"].reverse()), "inconsistent"),
    "shape larger than the axes": (
        lambda s: set_metadata(s, lambda m: m["datasets"]["f64"].update(shape=[31, 12])), "do not match"),
    "metadata that expands without end": (
        lambda s: s.metadata_path.write_bytes(pickle.dumps(_exploding(), protocol=pickle.HIGHEST_PROTOCOL)),
        "more than"),
    "metadata referring to itself": (
        lambda s: s.metadata_path.write_bytes(pickle.dumps(_self_referring(), protocol=pickle.HIGHEST_PROTOCOL)),
        "more than"),
}


def _exploding():
    nested: list = []
    for _ in range(60):  # 2**60 visits once expanded, a few hundred bytes on disk
        nested = [nested, nested]
    return {"format": 2, "version": 1, "meta": {"x": nested}, "datasets": {}}


def _self_referring():
    loop: list = []
    loop.append(loop)
    return {"format": 2, "meta": {"x": loop}}


@pytest.fixture
def alarm():
    """Fails a test that blocks (a FIFO opened for reading would) instead of hanging."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def timeout(*_):
        raise TimeoutError("the store blocked")

    previous = signal.signal(signal.SIGALRM, timeout)
    signal.alarm(20)
    try:
        yield
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("case", list(CAUGHT_ON_LOAD))
def test_damage_is_caught_by_every_load_and_by_verify(store, case, alarm):
    damage, message = CAUGHT_ON_LOAD[case]
    damage(store)
    with pytest.raises(ValueError, match=message):
        store.load(keys=["f64"])
    problems = store.verify()
    assert problems and (problems[0].startswith(("dataset 'f64'", "metadata"))), problems
    assert message.split()[0] in " ".join(problems) or problems[0].startswith("metadata")


@pytest.mark.parametrize("where", ["first extent", "second extent", "spare column"])
def test_flipped_value_bytes_are_found_by_verify(store, where):
    desc = store.load_metadata()["datasets"]["f32"]
    (_, _, first_offset, _, _), (_, _, second_offset, _, _) = desc["extents"]
    offset = {"first extent": first_offset + 17, "second extent": second_offset + 5,
              "spare column": first_offset + 4 * len(CODES) + 1}[where]
    flip_byte(store.store_dir / desc["file"], offset)
    assert store.load(keys=["f64"]) is not None  # other datasets load as before
    problems = store.verify()
    assert len(problems) == 1 and problems[0].startswith("dataset 'f32'") and "checksum" in problems[0]


def test_benchmark_damage_is_found_by_verify(store):
    path = store.store_dir / store.load_metadata()["benchmarks"]["000300"]["values"]
    flip_byte(path, os.path.getsize(path) - 3)
    problems = store.verify()
    assert len(problems) == 1 and problems[0].startswith("benchmark '000300'")


def test_the_verify_command(store, capsys):
    assert cli.main(["verify", str(store.store_dir)]) == 0
    assert "whole" in capsys.readouterr().out
    flip_byte(path_of(store, "flag"), 4096 + 3)
    assert cli.main(["verify", str(store.store_dir)]) == 1
    out = capsys.readouterr().out
    assert "DAMAGED dataset 'flag'" in out and "1 damaged" in out
    assert cli.main(["verify", str(store.store_dir / "nope")]) == 2
    assert "store not found" in capsys.readouterr().err
