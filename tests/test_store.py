"""Binary prepared-data store base: on-disk round trip, date slicing, memory maps,
input checks before writing, and the restricted metadata unpickler."""

import json
import mmap as mmap_module
import os
import pickle

import numpy as np
import pandas as pd
import pytest

from tessary.store import BinaryPreparedDataStoreBase
from store_files import snapshot
from tessary.store.metadata import sealed

DATES = [d.strftime("%Y%m%d") for d in pd.bdate_range("2023-12-25", periods=20)]
CODES = ["000001", "000002", "600000", "600519", "300750"]
DTYPES = {
    "f64": "float64",
    "f32": "float32",
    "flag": "bool",
    "i32": "int32",
    "i64": "int64",
    "u8": "uint8",
}


def frame(values, dates=DATES, codes=CODES):
    return pd.DataFrame(values, index=list(dates), columns=list(codes))


def sample_data(seed=0):
    rng = np.random.default_rng(seed)
    shape = (len(DATES), len(CODES))
    f64 = rng.normal(size=shape)
    f64[0, 0], f64[1, 1], f64[2, 2] = np.nan, np.inf, -np.inf
    return {
        "f64": frame(f64),
        "f32": frame(rng.normal(size=shape).astype(np.float32)),
        "flag": frame(rng.random(shape) > 0.5),
        "i32": frame(rng.integers(-(2**31), 2**31 - 1, size=shape, dtype=np.int32)),
        "i64": frame(rng.integers(-(2**62), 2**62, size=shape, dtype=np.int64)),
        # Its own, smaller axes: datasets of one payload need not share a shape.
        "u8": frame(rng.integers(0, 255, size=(5, 2), dtype=np.uint8), DATES[3:8], CODES[1:3]),
        "benchmark_dict": {
            "000300": pd.Series(rng.normal(size=len(DATES)), index=DATES, name="index_daily_return"),
            "000905": pd.Series(rng.normal(size=10), index=DATES[5:15], name="index_daily_return"),
        },
    }


def payload(seed=0, **meta):
    return {"version": 1, "meta": {"start_date": DATES[0], "tag": seed, **meta}, "data": sample_data(seed)}



def backed_by_mmap(arr):
    while arr is not None:
        if isinstance(arr, (np.memmap, mmap_module.mmap)):
            return True
        arr = getattr(arr, "base", None)
    return False


@pytest.fixture
def store(tmp_path):
    return BinaryPreparedDataStoreBase(tmp_path / "store", DTYPES, 1, "float64")


@pytest.fixture
def filled(store):
    store.write_payload(payload(0))
    return store


class TestRoundTrip:
    @pytest.mark.parametrize("mmap", [True, False])
    def test_every_dtype_comes_back_exactly(self, filled, mmap):
        out = filled.load(mmap=mmap)
        expected = sample_data(0)
        assert out["version"] == 1 and out["meta"] == payload(0)["meta"]
        assert list(out["data"]) == list(DTYPES)
        for key, dtype in DTYPES.items():
            got = out["data"][key]
            assert got.to_numpy().dtype == np.dtype(dtype)
            pd.testing.assert_frame_equal(got, expected[key])

    def test_benchmark_dict_round_trip_and_slicing(self, filled):
        expected = sample_data(0)["benchmark_dict"]
        got = filled.load_benchmark_dict()
        assert list(got) == ["000300", "000905"]
        for name in got:
            pd.testing.assert_series_equal(got[name], expected[name])
        sliced = filled.load_benchmark_dict(DATES[12], DATES[16])
        pd.testing.assert_series_equal(sliced["000300"], expected["000300"].loc[DATES[12] : DATES[16]])
        pd.testing.assert_series_equal(sliced["000905"], expected["000905"].loc[DATES[12] : DATES[14]])
        # The payload's key also works as a load key.
        via_load = filled.load(DATES[12], None, keys=["benchmark_dict"])["data"]["benchmark_dict"]
        pd.testing.assert_series_equal(via_load["000905"], sliced["000905"])

    def test_lenient_inputs_are_converted_losslessly(self, store):
        data = {
            "flag": frame(np.where(np.eye(len(DATES), len(CODES)) > 0, 1.0, 0.0)),  # floats 0/1 as booleans
            "f64": frame(np.arange(100, dtype=np.int64).reshape(20, 5)),
            "i32": pd.DataFrame({c: pd.array([1, None] * 10, dtype="Int64") for c in CODES}, index=DATES),
        }
        data["f64"].index = pd.to_datetime(DATES)  # a DatetimeIndex becomes "YYYYMMDD"
        # a nullable integer with a missing value cannot be an int32
        with pytest.raises(ValueError, match="i32.*cannot hold the value NaN"):
            store.write_payload({"version": 1, "meta": {}, "data": data})
        del data["i32"]
        # numpy scalars as names and keys are stored as plain values
        data["f64"].columns.name = np.str_("code")
        data["benchmark_dict"] = {np.str_("000300"): pd.Series([0.5], index=["20240102"], name=np.float64(1.5))}
        store.write_payload({"version": 1, "meta": {}, "data": data})
        assert store.load_benchmark_dict()["000300"].name == 1.5
        out = store.load()["data"]
        assert out["f64"].columns.name == "code" and out["f64"].index.name is None
        assert out["flag"].to_numpy().dtype == bool and out["flag"].to_numpy().sum() == len(CODES)
        assert list(out["f64"].index) == DATES and out["f64"].iloc[-1, -1] == 99.0


class TestDateRangeAndKeys:
    def test_bounds_are_inclusive_and_only_those_rows(self, filled):
        f64 = sample_data(0)["f64"]
        out = filled.load(DATES[3], DATES[7])["data"]
        pd.testing.assert_frame_equal(out["f64"], f64.iloc[3:8])
        pd.testing.assert_frame_equal(out["u8"], sample_data(0)["u8"])  # exactly its own rows 3..7
        # Bounds between trading days, dashed forms, open ends.
        assert list(filled.load("2023-12-30", "20240102")["data"]["f64"].index) == ["20240101", "20240102"]
        assert len(filled.load(None, DATES[0])["data"]["f64"]) == 1
        assert len(filled.load(DATES[-1], None)["data"]["f64"]) == 1
        assert len(filled.load(DATES[5], DATES[4])["data"]["f64"]) == 0
        assert len(filled.load("20300101")["data"]["u8"]) == 0
        with pytest.raises(ValueError):
            filled.load("2024-13-01")

    def test_key_selection(self, filled):
        assert filled.load(keys=[])["data"] == {}
        assert list(filled.load(keys=["u8", "flag"])["data"]) == ["u8", "flag"]
        with pytest.raises(KeyError, match="nope"):
            filled.load(keys=["f64", "nope"])
        with pytest.raises(TypeError):
            filled.load(keys="f64")

    def test_empty_store(self, store):
        assert store.load() is None and store.load(keys=["f64"]) is None
        assert store.load_metadata() == {} and store.load_benchmark_dict() == {}


class TestMemoryMaps:
    def test_mmap_values_are_read_only_maps_not_copies(self, filled):
        out = filled.load(DATES[2], DATES[9])["data"]
        for key, df in out.items():
            values = df.to_numpy()
            assert not values.flags.writeable and backed_by_mmap(values), key
        with pytest.raises(ValueError):
            out["f64"].iloc[0, 0] = 1.0
        copies = filled.load(DATES[2], DATES[9], mmap=False)["data"]
        assert all(not backed_by_mmap(df.to_numpy()) for df in copies.values())

    def test_loaded_frames_do_not_share_axis_objects(self, filled):
        out = filled.load()["data"]
        out["f64"].index.name = "date"
        out["f64"].columns.name = "code"
        assert out["f32"].index.name is None and out["f32"].columns.name is None


class TestWholeWrites:
    def test_layout_manifest_and_tilde(self, tmp_path, monkeypatch):
        monkeypatch.setenv("HOME", str(tmp_path))
        store = BinaryPreparedDataStoreBase("~/s", DTYPES, 1, "float64")
        assert store.store_dir == tmp_path / "s" and store.metadata_path == tmp_path / "s" / "metadata.pkl"
        store.write_payload(payload(0))
        manifest = json.loads((tmp_path / "s" / "manifest.json").read_text(encoding="utf-8"))
        assert manifest["version"] == 1 and manifest["updated_at"] == store.load_metadata()["updated_at"]
        assert (manifest["start_date"], manifest["end_date"]) == (DATES[0], DATES[-1])
        assert manifest["datasets"]["u8"]["dtype"] == "uint8" and manifest["datasets"]["u8"]["shape"] == [5, 2]
        # Each dataset is a log file: a header page naming it, then its rows at full width.
        desc = store.load_metadata()["datasets"]["f32"]
        raw = (tmp_path / "s" / desc["file"]).read_bytes()
        assert raw.startswith(b"TSYLOG01") and b'"key": "f32"' in raw[:4096]
        assert desc["capacity"] >= len(CODES) and len(desc["extents"]) == 1
        (first, rows, offset, _, _), width = desc["extents"][0], desc["capacity"]
        values = np.frombuffer(raw, dtype=np.float32, count=rows * width, offset=offset).reshape(rows, width)
        np.testing.assert_array_equal(values[:, : len(CODES)], sample_data(0)["f32"].to_numpy())
        assert np.isnan(values[:, len(CODES) :]).all()  # spare columns hold the fill
        with open(store.metadata_path, "rb") as fh:
            assert fh.read(2) == b"\x80" + bytes([pickle.HIGHEST_PROTOCOL])

    def test_a_new_payload_replaces_the_old_one_and_its_files(self, filled):
        before = set(snapshot(filled.store_dir))
        second = payload(1)
        del second["data"]["u8"], second["data"]["benchmark_dict"]
        (filled.store_dir / ".metadata.pkl.tmp-1-dead").write_bytes(b"left by a killed writer")
        filled.write_payload(second)
        out = filled.load()
        assert out["meta"]["tag"] == 1 and "u8" not in out["data"] and filled.load_benchmark_dict() == {}
        pd.testing.assert_frame_equal(out["data"]["f64"], sample_data(1)["f64"])
        files = set(snapshot(filled.store_dir))
        dataset_files = {f for f in files if f.startswith("data/") and "axis-" not in f}
        assert len(dataset_files) == 5 and not dataset_files & before
        assert not any(".tmp-" in f for f in files)

    def test_meta_with_keys_json_cannot_write_still_completes_the_write(self, filled):
        # The metadata is the commit point; the manifest written after it must not fail.
        p = payload(1)
        p["meta"] = dict(p["meta"], extra={(1, 2): 3})
        filled.write_payload(p)
        manifest = json.loads((filled.store_dir / "manifest.json").read_text(encoding="utf-8"))
        assert manifest["meta"]["extra"] == {"(1, 2)": 3}
        assert filled.load()["meta"]["extra"] == {(1, 2): 3}
        assert not any(".tmp-" in f for f in snapshot(filled.store_dir))

    def test_inputs_are_not_mutated(self, store):
        p = payload(0)
        store.write_payload(p)
        pd.testing.assert_frame_equal(p["data"]["f64"], sample_data(0)["f64"])
        assert p["meta"] == payload(0)["meta"] and list(p) == ["version", "meta", "data"]


def _bad(change):
    def make():
        p = payload(5)
        change(p)
        return p

    return make


def _set_data(key, value):
    return _bad(lambda p: p["data"].__setitem__(key, value))


def _with_cell(key, value):
    def change(p):
        df = p["data"][key].astype(object)
        df.iloc[4, 2] = value
        p["data"][key] = df

    return _bad(change)


BAD_PAYLOADS = {
    "not a dict": (lambda: [payload(5)], TypeError, "payload must be a dict"),
    "no version": (_bad(lambda p: p.pop("version")), ValueError, "no 'version'"),
    "wrong version": (_bad(lambda p: p.__setitem__("version", 2)), ValueError, "version 2"),
    "version True": (_bad(lambda p: p.__setitem__("version", True)), ValueError, "version True"),
    "data not a dict": (_bad(lambda p: p.__setitem__("data", [])), TypeError, "'data' must be a dict"),
    "meta not plain": (_bad(lambda p: p["meta"].__setitem__("t", pd.Timestamp("2024"))), TypeError, "plain data"),
    "a Series dataset": (_set_data("f64", pd.Series([1.0])), TypeError, "'f64' must be a date x stock DataFrame"),
    "bool with NaN": (
        _with_cell("flag", np.nan),
        ValueError,
        rf"bool cannot hold the value NaN \(date {DATES[4]}, stock 600000\)",
    ),
    "bool with 2": (_set_data("flag", frame(np.full((20, 5), 2.0))), ValueError, "bool cannot hold the value 2.0"),
    "int with fraction": (_set_data("i32", frame(np.full((20, 5), 1.5))), ValueError, "int32 cannot hold"),
    "int64 beyond float": (_set_data("f64", frame(np.full((20, 5), 2**62 + 1))), ValueError, "float64 cannot hold"),
    "text values": (_with_cell("f64", "1.5"), TypeError, "not numbers or booleans"),
    "unsorted dates": (_set_data("f64", frame(np.ones((20, 5)), DATES[::-1])), ValueError, "ascending"),
    "duplicate dates": (_set_data("f64", frame(np.ones((2, 5)), [DATES[0]] * 2)), ValueError, "ascending"),
    "bad date label": (_set_data("f64", frame(np.ones((1, 5)), ["2024-02-30"])), ValueError, "2024-02-30"),
    "no such day": (_set_data("f64", frame(np.ones((2, 5)), ["20240229", "20240230"])), ValueError, "'20240230'"),
    "dates equal to checked codes": (
        _bad(
            lambda p: p["data"].update(
                f64=frame(np.ones((2, 2)), DATES[:2], ["x", "y"]), f32=frame(np.ones((2, 2)), ["x", "y"], ["x", "y"])
            )
        ),
        ValueError,
        "'f32'.*'x'",
    ),
    "int codes": (_set_data("f64", frame(np.ones((20, 2)), codes=[1, 2])), TypeError, "stock codes must be str"),
    "duplicate codes": (_set_data("f64", frame(np.ones((20, 2)), codes=["1", "1"])), ValueError, "'1' occurs"),
    "benchmark not a Series": (
        _bad(lambda p: p["data"]["benchmark_dict"].__setitem__("x", [1.0])),
        TypeError,
        "Series",
    ),
    "benchmark_dict not a dict": (_set_data("benchmark_dict", []), TypeError, "benchmark_dict"),
}


@pytest.mark.parametrize("case", list(BAD_PAYLOADS))
def test_wrong_input_is_rejected_before_anything_is_written(filled, case):
    make, error, message = BAD_PAYLOADS[case]
    before = snapshot(filled.store_dir)
    with pytest.raises(error, match=message):
        filled.write_payload(make())
    assert snapshot(filled.store_dir) == before
    assert filled.load()["meta"]["tag"] == 0


def test_wrong_input_to_a_new_store_creates_nothing(store):
    with pytest.raises(ValueError):
        store.write_payload(BAD_PAYLOADS["bool with NaN"][0]())
    assert not store.store_dir.exists()


class _Exploit:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.mkdir, (self.marker,))


@pytest.mark.parametrize("shape", ["top level", "nested"])
def test_a_malicious_metadata_pickle_is_refused_without_side_effects(filled, tmp_path, shape):
    marker = str(tmp_path / "pwned")
    evil = _Exploit(marker)
    metadata = filled.load_metadata()
    if shape == "nested":
        metadata["meta"]["x"] = [evil]
    else:
        metadata = evil
    filled.metadata_path.write_bytes(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))
    before = snapshot(filled.store_dir)
    for call in (filled.load_metadata, filled.load, filled.load_benchmark_dict):
        with pytest.raises(pickle.UnpicklingError, match=r"posix\.mkdir.*only plain data"):
            call()
    assert not os.path.exists(marker) and snapshot(filled.store_dir) == before
    # A whole write never needs the old metadata: it repairs the store.
    filled.write_payload(payload(3))
    assert filled.load()["meta"]["tag"] == 3


def test_corrupt_metadata_references_stay_inside_the_store(filled):
    metadata = filled.load_metadata()
    metadata["datasets"]["f64"]["file"] = "../../etc/passwd"
    filled.metadata_path.write_bytes(sealed(pickle.dumps(metadata)))  # crafted, with a matching checksum
    with pytest.raises(ValueError, match="outside the store"):
        filled.load(keys=["f64"])


def test_constructor_checks(tmp_path):
    with pytest.raises(TypeError):
        BinaryPreparedDataStoreBase(3, DTYPES, 1, "float64")
    with pytest.raises(ValueError, match="not a boolean, integer or float"):
        BinaryPreparedDataStoreBase(tmp_path, {"x": "object"}, 1, "float64")
    with pytest.raises(ValueError):
        BinaryPreparedDataStoreBase(tmp_path, DTYPES, 1, "int64")
    mapping = dict(DTYPES)
    store = BinaryPreparedDataStoreBase(tmp_path, mapping, 1, "float64")
    mapping["extra"] = "bool"
    assert "extra" not in store.matrix_dtype
