"""Checked loads: damage that once loaded silently (flipped data bits, a boolean byte of
2, overlapping extents, swapped benchmark files, a flipped metadata byte, a date axis
holding no calendar date, a metadata pickle that explodes) now fails the load with a
StoreCorruptError or ValueError naming the part and telling what to do."""

import hashlib
import os
import pickle

import numpy as np
import pandas as pd
import pytest
from reference.crc32c import crc32c as reference_crc32c

from store_files import two_extent_store
from tessary import cli
from tessary.exceptions import StoreCorruptError
from tessary.store import BinaryPreparedDataStoreBase, checksums
from tessary.store._checksum import crc32c
from tessary.store.files import PAGE, extent_checksum, open_regular
from tessary.store.layout import axis_digest
from tessary.store.metadata import SEALED_KEY, sealed

DTYPES = {"f64": "float64", "f32": "float32", "flag": "bool"}
DATES = [d.strftime("%Y%m%d") for d in pd.bdate_range("2021-11-01", periods=30)]
CODES = [f"{600000 + i:06d}" for i in range(12)]


def payload(lo=0, hi=30, seed=0):
    rng = np.random.default_rng(seed)
    index = DATES[lo:hi]
    data = {
        "f64": pd.DataFrame(rng.normal(size=(hi - lo, 12)), index=index, columns=CODES),
        "f32": pd.DataFrame(rng.normal(size=(hi - lo, 12)).astype(np.float32), index=index, columns=CODES),
        "flag": pd.DataFrame(rng.random((hi - lo, 12)) > 0.5, index=index, columns=CODES),
        "benchmark_dict": {
            "000300": pd.Series(rng.normal(size=hi - lo), index=index, name="r"),
            "000905": pd.Series(rng.normal(size=hi - lo), index=index, name="r"),
        },
    }
    meta = {"component_dataset_keys": {"idx_a": "component__idx_a", "idx_b": "component__idx_b"}}
    return {"version": 1, "meta": meta, "data": data}


@pytest.fixture
def store(tmp_path):
    return two_extent_store(tmp_path / "store", DTYPES, payload)


def desc_of(store, key, group="datasets"):
    return store.load_metadata()[group][key]


def poke(path, offset, change):
    with open(path, "r+b") as fh:
        fh.seek(offset)
        byte = fh.read(1)[0]
        fh.seek(offset)
        fh.write(bytes([change(byte)]))


def flip_data(key, extent, cell, bit=0x10):
    def damage(store):
        desc = desc_of(store, key)
        poke(store.store_dir / desc["file"], desc["extents"][extent][2] + cell, lambda b: b ^ bit)
    return damage


def bool_byte_of_two(store):
    desc = desc_of(store, "flag")
    poke(store.store_dir / desc["file"], desc["extents"][0][2] + 5, lambda b: 2)


def write_sealed(store, metadata):
    store.metadata_path.write_bytes(sealed(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL)))


def overlapping_extents(store):
    """The second extent moved onto rows of the first, its checksum recomputed to match:
    only the layout check can tell."""
    metadata = store.load_metadata()
    desc = metadata["datasets"]["f64"]
    (f0, c0, o0, w0, _), (f1, c1, _, w1, _) = desc["extents"]
    row_bytes = desc["capacity"] * 8
    offset = o0 + f1 * row_bytes
    assert offset % PAGE == (f1 * row_bytes) % PAGE
    fd = open_regular(store.store_dir / desc["file"], "test")
    try:
        digest = extent_checksum(fd, offset, f1, w1, row_bytes)
    finally:
        os.close(fd)
    desc["extents"][1] = [f1, c1, offset, w1, digest]
    write_sealed(store, metadata)


def swap_benchmarks(store):
    a = store.store_dir / desc_of(store, "000300", "benchmarks")["values"]
    b = store.store_dir / desc_of(store, "000905", "benchmarks")["values"]
    tmp = a.with_name("swap")
    os.replace(a, tmp)
    os.replace(b, a)
    os.replace(tmp, b)


def flip_benchmark(store):
    path = store.store_dir / desc_of(store, "000905", "benchmarks")["values"]
    poke(path, os.path.getsize(path) - 3, lambda b: b ^ 0x01)


def flip_component_keys(store):
    raw = store.metadata_path.read_bytes()
    at = raw.index(b"component__idx_b")
    poke(store.metadata_path, at + len("component__idx_"), lambda b: ord("a"))  # now names idx_a's mask


def impossible_date(store):
    """A date axis whose last day is 20211299, stored under its own matching checksum."""
    metadata = store.load_metadata()
    desc = metadata["datasets"]["f64"]
    labels = np.load(store.store_dir / desc["index"]).copy()
    labels[-1] = "20211299"
    name = f"data/axis-{axis_digest(labels)}.npy"
    np.save(store.store_dir / name, labels)
    desc["index"] = name
    write_sealed(store, metadata)


def nested_list_bomb(store):
    """About 10 MB of nested lists: cheap on disk, gigabytes and minutes once unpickled."""
    n = 5_000_000
    store.metadata_path.write_bytes(b"\x80\x05" + b"]" * n + b"a" * (n - 1) + b".")


def truncated_trailer(store):
    raw = store.metadata_path.read_bytes()
    store.metadata_path.write_bytes(raw[:-20])  # a sealed store's metadata without its checksum


CORRUPTIONS = {
    "f64 bit flip in the first extent": (flip_data("f64", 0, 8 * 13 + 6), "dataset 'f64'", "f64"),
    "f64 bit flip in the second extent": (flip_data("f64", 1, 3), "dataset 'f64'", "f64"),
    "f32 bit flip in a spare column": (flip_data("f32", 0, 4 * 12 + 1), "dataset 'f32'", "f32"),
    "f32 low mantissa bit": (flip_data("f32", 1, 4 * 30, bit=0x01), "dataset 'f32'", "f32"),
    "a boolean byte of 2": (bool_byte_of_two, "dataset 'flag'", "flag"),
    "overlapping extents": (overlapping_extents, "overlap", "f64"),
    "two benchmark files swapped": (swap_benchmarks, "benchmark '000300'", "benchmark_dict"),
    "benchmark bit flip": (flip_benchmark, "benchmark '000905'", "benchmark_dict"),
    "metadata flip in component_dataset_keys": (flip_component_keys, "does not match its checksum", "f64"),
    "date axis holding 20211299": (impossible_date, "20211299", "f64"),
    "nested-list bomb in metadata.pkl": (nested_list_bomb, "opcodes", "f64"),
    "metadata checksum cut off": (truncated_trailer, "lost its checksum", "f64"),
}


@pytest.mark.parametrize("case", list(CORRUPTIONS))
def test_each_silent_corruption_now_fails_the_load_and_verify(store, case, capsys):
    damage, message, key = CORRUPTIONS[case]
    assert store.load(keys=[key]) is not None  # loaded whole (and remembered as checked) first
    damage(store)
    with pytest.raises(ValueError, match=message) as caught:
        store.load(keys=[key])
    if isinstance(caught.value, StoreCorruptError):
        assert "tessary-backtest verify" in str(caught.value) and "rebuild" in str(caught.value)
    problems = store.verify()
    assert problems, case
    assert cli.main(["verify", str(store.store_dir)]) == 1
    out = capsys.readouterr().out
    assert "DAMAGED" in out and "Traceback" not in out


@pytest.mark.parametrize("key", list(DTYPES))
@pytest.mark.parametrize("mmap", [True, False])
def test_a_dataset_of_one_extent_is_checked_through_the_mapping_it_hands_out(tmp_path, monkeypatch, key, mmap):
    one = BinaryPreparedDataStoreBase(tmp_path / "one", DTYPES, 1, "float64")
    one.write_payload(payload(0, 30))
    hashed = []
    real = checksums.digests_of
    monkeypatch.setattr(checksums, "digests_of", lambda parts, likes: hashed.extend(parts) or real(parts, likes))
    checksums._VERIFIED.clear()
    loaded = one.load(keys=[key], mmap=mmap)["data"][key]
    pd.testing.assert_frame_equal(loaded, one.load(keys=[key], mmap=not mmap, check=False)["data"][key])
    # Mapped, the one part hashed is the dataset's own mapping (an array, not a slice
    # of a second mapping of the file).
    assert len(hashed) == 1 and isinstance(hashed[0], np.ndarray) == mmap
    del loaded
    flip_data(key, 0, 3, 0x02)(one)
    with pytest.raises(StoreCorruptError, match="do not match their checksum"):
        one.load(keys=[key], mmap=mmap)


def test_the_data_checks_can_be_skipped_and_other_datasets_still_load(store):
    flip_data("f64", 0, 5)(store)
    with pytest.raises(StoreCorruptError, match="dataset 'f64'"):
        store.load()
    assert store.load(keys=["f32", "flag"]) is not None
    assert store.load(check=False)["data"]["f64"].shape == (30, 12)
    with pytest.raises(StoreCorruptError):
        store.load(keys=["f64"], mmap=False)


def test_each_file_version_is_hashed_once_per_process(store, monkeypatch):
    calls = []
    real = checksums.digests_of
    monkeypatch.setattr(checksums, "digests_of", lambda parts, likes: calls.extend(parts) or real(parts, likes))
    checksums._VERIFIED.clear()
    store.load()
    first = len(calls)
    assert first == 6  # two extents for each of three datasets
    store.load()
    store.load("20211110", "20211115", mmap=False)
    assert len(calls) == first
    store.update_payload(payload(29, 30, seed=2))  # appends to every log file: new versions
    store.load()
    assert len(calls) > first


def test_the_native_store_passes_check_false_on(tmp_path):
    from tessary.backtest import _prepare as P

    store = P.BinaryPreparedDataStore(tmp_path / "s", component_names=[])
    rng = np.random.default_rng(0)
    data = {key: pd.DataFrame(rng.random((5, 3)) > 0.5 if dtype == "bool" else rng.random((5, 3)),
                              index=DATES[:5], columns=CODES[:3]) for key, dtype in P.BASE_MATRIX_DTYPE.items()}
    store.write_payload({"version": P.PREPARED_DATA_VERSION, "meta": {}, "data": data})
    desc = store.load_metadata()["datasets"]["close_price"]
    poke(store.store_dir / desc["file"], desc["extents"][0][2] + 1, lambda b: b ^ 0x20)
    with pytest.raises(StoreCorruptError, match="close_price"):
        store.load()
    assert store.load(check=False)["data"]["close_price"].shape == (5, 3)
    # A supplement through the native store seals the metadata it writes.
    mask = pd.DataFrame(1.0, index=DATES[:5], columns=CODES[:3])
    assert store.add_component_matrices({"idx": mask}, ["idx"]) == ["idx"]
    raw = store.metadata_path.read_bytes()
    assert raw[-20:-12] == b"TSYMETA1" and int.from_bytes(raw[-4:], "little") == crc32c(raw[:-20])


def as_written_before(store):
    """The store as the previous version wrote it: SHA-256 on every extent and benchmark
    file, metadata without its checksum trailer."""
    metadata = store.load_metadata()
    metadata.pop(SEALED_KEY)
    for desc in metadata["datasets"].values():
        row_bytes = desc["capacity"] * np.dtype(desc["dtype"]).itemsize
        fd = open_regular(store.store_dir / desc["file"], "test")
        try:
            desc["extents"] = [[f, c, o, w, extent_checksum(fd, o, f, w, row_bytes, "0" * 64)]
                               for f, c, o, w, _ in desc["extents"]]
        finally:
            os.close(fd)
    for desc in metadata["benchmarks"].values():
        desc.pop("checksum")
        desc["sha256"] = hashlib.sha256((store.store_dir / desc["values"]).read_bytes()).hexdigest()
    store.metadata_path.write_bytes(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))


def test_a_store_written_before_loads_and_is_checked_with_its_sha256(store):
    expected = store.load(mmap=False)["data"]
    as_written_before(store)
    assert store.verify() == []
    loaded = store.load()["data"]
    for key in DTYPES:
        pd.testing.assert_frame_equal(loaded[key], expected[key])
    flip_data("f32", 1, 2)(store)
    with pytest.raises(StoreCorruptError, match="dataset 'f32'"):
        store.load(keys=["f32"])
    flip_benchmark(store)
    with pytest.raises(StoreCorruptError, match="benchmark '000905'"):
        store.load_benchmark_dict()
    # An update never copies damaged rows into a new version under a fresh checksum.
    with pytest.raises(StoreCorruptError, match="dataset 'f32'"):
        store.update_payload(payload(29, 30, seed=3))
    flip_data("f32", 1, 2)(store)  # undone
    flip_benchmark(store)
    # Its next update seals the metadata and records CRC-32C for what it writes.
    store.update_payload(payload(29, 30, seed=3))
    assert store.verify() == []
    metadata = store.load_metadata()
    assert metadata[SEALED_KEY] == "crc32c"
    assert metadata["datasets"]["f64"]["extents"][-1][4].startswith("crc32c:")


@pytest.mark.parametrize("size", [0, 1, 7, 8, 255, 768, 769, 24576, 24577, 100_003])
def test_crc32c_matches_the_definition(size):
    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8).tobytes()
    expected = reference_crc32c(data)
    assert crc32c(data) == crc32c(data, portable=True) == expected
    third = size // 3
    assert crc32c(data[third:], crc32c(data[:third])) == expected
    assert crc32c(np.frombuffer(data, dtype=np.uint8)) == expected


def test_crc32c_in_parts_on_threads_is_the_same_checksum():
    data = np.random.default_rng(5).integers(0, 256, (40 << 20) + 3, dtype=np.uint8)
    whole = crc32c(data, threads=1)
    assert crc32c(data, threads=2) == crc32c(data, threads=4) == crc32c(data) == whole
    assert crc32c(data[1:], crc32c(data[:1]), threads=3) == whole


def test_a_check_ahead_leaves_the_load_nothing_to_hash_and_the_damage_to_report(store, monkeypatch):
    from tessary.store import ahead

    calls = []
    real = checksums.digests_of
    monkeypatch.setattr(checksums, "digests_of", lambda parts, likes, **kw: calls.extend(parts) or real(parts, likes, **kw))
    checksums._VERIFIED.clear()
    ahead.check_ahead(store, ["f64", "f32", "flag", "no such dataset"])
    store.load()  # waits for the thread
    assert len(calls) == 6  # every extent hashed once, by the check ahead
    # Damage found ahead is left to the load, which hashes again and reports it.
    flip_data("f32", 1, 2)(store)
    ahead.check_ahead(store, ["f32"])
    with pytest.raises(StoreCorruptError, match="dataset 'f32'"):
        store.load(keys=["f32"])
    assert len(calls) == 9  # ahead: both extents of the new file version; the load: the damaged one
    # A store the check cannot read is not its business: nothing raised, the load reports.
    missing = BinaryPreparedDataStoreBase(store.store_dir.parent / "none", DTYPES, 1, "float64")
    ahead.check_ahead(missing, ["f64"])
    (store.store_dir / "metadata.pkl").write_bytes(b"\x80\x04garbage")
    ahead.check_ahead(store, ["f64"])
    with pytest.raises((ValueError, pickle.UnpicklingError)):
        store.load(keys=["f64"])


def test_run_backtest_refuses_a_damaged_market_it_checked_ahead(tmp_path):
    from handmade import market_store

    from tessary.backtest import run_backtest
    from tessary.backtest._prepare import BinaryPreparedDataStore

    _, path = market_store(tmp_path)
    store = BinaryPreparedDataStore(path)
    close = store.load(keys=["close_price"])["data"]["close_price"]
    weights = pd.DataFrame(1.0 / close.shape[1], index=close.index, columns=close.columns)
    first = run_backtest(weights, path, benchmark=None).daily_return
    desc = desc_of(store, "buy_price")
    poke(store.store_dir / desc["file"], desc["extents"][0][2] + 9, lambda b: b ^ 0x40)
    with pytest.raises(StoreCorruptError, match="buy_price"):
        run_backtest(weights, path, benchmark=None)
    assert len(first) == len(close) - 1
