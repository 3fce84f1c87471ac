"""Updates of the binary store: a merged-in payload loads exactly like the same data
written whole; earlier loads never change; bad updates and a second writer leave the
store untouched; stores of the previous layout load and convert; compaction."""

import contextlib
import os
import pickle
import threading

import numpy as np
import pandas as pd
import pytest

from tessary.store import BOOL_FILL, BinaryPreparedDataStoreBase, StoreLockedError
from tessary.store.files import writer_lock
from tessary.store.layout import axis_digest
from store_files import snapshot

DTYPES = {"f64": "float64", "i32": "int32", "can_buy_stock": "bool", "cant_sell_stock": "bool", "f32": "float32"}
ALL_DATES = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-01", periods=90)]
ALL_CODES = [f"{600000 + 7 * i:06d}" for i in range(40)]


def full_frames(seed=0):
    """The whole market: every dataset over every date and code."""
    rng = np.random.default_rng(seed)
    shape = (len(ALL_DATES), len(ALL_CODES))
    out = {}
    for key, dtype in DTYPES.items():
        if dtype == "bool":
            values = rng.random(shape) > 0.5
        elif dtype == "int32":
            values = rng.integers(-1000, 1000, shape).astype(np.int32)
        else:
            values = rng.normal(size=shape).astype(dtype)
            values[rng.random(shape) < 0.1] = np.nan
        out[key] = pd.DataFrame(values, index=ALL_DATES, columns=ALL_CODES)
    out["benchmark_dict"] = {
        "000300": pd.Series(rng.normal(size=len(ALL_DATES)), index=ALL_DATES, name="index_daily_return")
    }
    return out


def part(frames, lo, hi, codes=None, keys=None):
    """A payload of rows [lo, hi) over `codes` (default: all)."""
    codes = ALL_CODES if codes is None else codes
    data = {k: v.iloc[lo:hi][codes] for k, v in frames.items() if k != "benchmark_dict" and (keys is None or k in keys)}
    data["benchmark_dict"] = {n: s.iloc[lo:hi] for n, s in frames["benchmark_dict"].items()}
    return {"version": 1, "meta": {"last": ALL_DATES[hi - 1]}, "data": data}


def merged(old: pd.DataFrame, new: pd.DataFrame, key: str) -> pd.DataFrame:
    """Plain pandas reference of an update: rows before the new first date kept, then
    the union of later dates with the new rows winning; new codes appended; fill elsewhere."""
    fill = np.nan if new.dtypes.iloc[0].kind == "f" else BOOL_FILL.get(key, False) if new.dtypes.iloc[0] == bool else 0
    columns = list(old.columns) + [c for c in new.columns if c not in set(old.columns)]
    head = old.loc[old.index < new.index[0]]
    rest = old.loc[(old.index >= new.index[0]) & ~old.index.isin(new.index)]
    new = new.reindex(columns=columns, fill_value=fill)
    parts = [part.reindex(columns=columns, fill_value=fill) for part in (head, rest, new)]
    values = np.concatenate([part.to_numpy(dtype=old.dtypes.iloc[0]) for part in parts])
    out = pd.DataFrame(values, index=head.index.append(rest.index).append(new.index), columns=columns)
    return out.sort_index(kind="stable").astype(old.dtypes.iloc[0])


@contextlib.contextmanager
def held_by_another_writer(root):
    """The store's writer lock, held by another thread for the duration of the block."""
    taken, done = threading.Event(), threading.Event()

    def hold():
        with writer_lock(root):
            taken.set()
            done.wait(30)

    thread = threading.Thread(target=hold)
    thread.start()
    assert taken.wait(30)
    try:
        yield
    finally:
        done.set()
        thread.join()



def assert_loads_equal(store, expected: dict, bench: dict | None = None):
    for mmap in (True, False):
        out = store.load(mmap=mmap)["data"]
        assert list(out) == [k for k in DTYPES if k in expected]
        for key, frame in expected.items():
            pd.testing.assert_frame_equal(out[key], frame, obj=key)
            assert out[key].to_numpy().dtype == np.dtype(DTYPES[key])
    for name, series in (bench or {}).items():
        pd.testing.assert_series_equal(store.load_benchmark_dict()[name], series)


@pytest.fixture
def store(tmp_path):
    return BinaryPreparedDataStoreBase(tmp_path / "store", DTYPES, 1, "float64")


class TestUpdateEqualsWholeWrite:
    def test_daily_updates_with_tail_replaced_new_codes_and_gaps(self, store, tmp_path):
        frames = full_frames()
        listed = {c: (0 if i < 30 else 40 + 4 * (i - 30)) for i, c in enumerate(ALL_CODES)}  # listings
        delisted = ALL_CODES[3]  # leaves the payloads from day 70 on

        def codes_at(hi):
            return [c for c in ALL_CODES if listed[c] < hi and not (c == delisted and hi > 70)]

        first = part(frames, 0, 40, codes_at(40))
        store.write_payload(first)
        expected = {k: v for k, v in first["data"].items() if k != "benchmark_dict"}
        bench = dict(first["data"]["benchmark_dict"])
        for hi in range(41, len(ALL_DATES) + 1):
            # Each day: the two last stored days rebuilt (with other values) and one new day.
            update = part(full_frames(hi), hi - 3, hi, codes_at(hi))
            store.update_payload(update)
            for key in expected:
                expected[key] = merged(expected[key], update["data"][key], key)
            for name, series in update["data"]["benchmark_dict"].items():
                bench[name] = pd.concat([bench[name].loc[bench[name].index < series.index[0]], series])
        extents = store.load_metadata()["datasets"]["f64"]["extents"]
        assert 1 < len(extents) < 12  # trailing extents were merged along the way
        assert_loads_equal(store, expected, bench)
        # The same data written whole loads the same.
        whole = BinaryPreparedDataStoreBase(tmp_path / "whole", DTYPES, 1, "float64")
        whole.write_payload({"version": 1, "meta": {}, "data": {**expected, "benchmark_dict": bench}})
        for key in expected:
            pd.testing.assert_frame_equal(whole.load()["data"][key], store.load()["data"][key])
        # A date range inside the stitched extents reads the same rows.
        lo, hi = ALL_DATES[45], ALL_DATES[80]
        sliced = store.load(lo, hi)["data"]["f64"]
        pd.testing.assert_frame_equal(sliced, expected["f64"].loc[lo:hi])
        assert store.verify() == []
        assert store.compact() == len(DTYPES)
        assert len(store.load_metadata()["datasets"]["f64"]["extents"]) == 1
        assert_loads_equal(store, expected, bench)
        assert store.compact() == 0

    def test_new_datasets_benchmarks_meta_and_gap_dates(self, store):
        frames = full_frames()
        store.write_payload(part(frames, 0, 50, keys=["f64", "i32"]))
        # Rows 60..69 first, then 50..59 fills the gap before them (dates the second
        # payload does not name keep their rows).
        later = part(frames, 60, 70, keys=["f64", "f32"])
        later["data"]["benchmark_dict"]["000905"] = later["data"]["benchmark_dict"].pop("000300")
        store.update_payload(later)
        store.update_payload(part(frames, 50, 60, keys=["f64"]))
        out = store.load()
        assert list(out["data"]) == ["f64", "i32", "f32"] and out["meta"]["last"] == ALL_DATES[59]
        pd.testing.assert_frame_equal(out["data"]["f64"], frames["f64"].iloc[:70])
        pd.testing.assert_frame_equal(out["data"]["i32"], frames["i32"].iloc[:50])
        pd.testing.assert_frame_equal(out["data"]["f32"], frames["f32"].iloc[60:70])
        bench = store.load_benchmark_dict()
        pd.testing.assert_series_equal(bench["000300"], frames["benchmark_dict"]["000300"].iloc[:60])
        pd.testing.assert_series_equal(bench["000905"], frames["benchmark_dict"]["000300"].iloc[60:70])

    def test_running_out_of_spare_columns_rewrites_the_dataset(self, store):
        frames = full_frames()
        store.write_payload(part(frames, 0, 30, ALL_CODES[:2]))
        spare = store.load_metadata()["datasets"]["f64"]["capacity"]
        assert spare < len(ALL_CODES)
        store.update_payload(part(frames, 30, 31))  # 38 new codes at once
        desc = store.load_metadata()["datasets"]["f64"]
        assert desc["capacity"] >= len(ALL_CODES) and len(desc["extents"]) == 1
        out = store.load()["data"]["f64"]
        expected = frames["f64"].iloc[:31].copy()
        expected.iloc[:30, 2:] = np.nan
        pd.testing.assert_frame_equal(out, expected)
        assert (store.load()["data"]["cant_sell_stock"].iloc[:30, 2:]).all().all()  # blocked before they joined

    def test_an_update_of_an_empty_store_is_a_whole_write(self, store):
        store.update_payload(part(full_frames(), 0, 5))
        pd.testing.assert_frame_equal(store.load()["data"]["i32"], full_frames()["i32"].iloc[:5])


class TestIsolationAndWriters:
    def test_an_earlier_load_never_changes(self, store):
        frames = full_frames()
        store.write_payload(part(frames, 0, 40))
        loads = [store.load()]
        copies = [{k: v.to_numpy().copy() for k, v in loads[0]["data"].items()}]
        for hi in range(41, 80):
            store.update_payload(part(full_frames(hi), hi - 3, hi))
            if hi % 10 == 0:
                loads.append(store.load())
                copies.append({k: v.to_numpy().copy() for k, v in loads[-1]["data"].items()})
        store.compact()
        for loaded, copied in zip(loads, copies):
            for key, frame in loaded["data"].items():
                np.testing.assert_array_equal(frame.to_numpy(), copied[key], err_msg=key)

    def test_a_second_writer_is_refused_and_the_store_untouched(self, store):
        store.write_payload(part(full_frames(), 0, 10))
        before = snapshot(store.store_dir)
        with held_by_another_writer(store.store_dir):
            for write in (store.update_payload, store.write_payload):
                with pytest.raises(StoreLockedError, match="another writer"):
                    write(part(full_frames(), 5, 12))
            with pytest.raises(StoreLockedError):
                store.compact()
        assert snapshot(store.store_dir) == before
        store.update_payload(part(full_frames(), 5, 12))  # released: the next writer goes ahead
        assert len(store.load()["data"]["f64"]) == 12


def _with(change):
    def make():
        p = part(full_frames(), 8, 12)
        change(p)
        return p

    return make


BAD_UPDATES = {
    "other version": (_with(lambda p: p.__setitem__("version", 2)), ValueError, "version 2"),
    "dates not dates": (
        _with(lambda p: p["data"].__setitem__("f64", p["data"]["f64"].set_axis(["x", "y", "z", "w"]))),
        ValueError,
        "'x'",
    ),
    "duplicate dates": (
        _with(lambda p: p["data"].__setitem__("f64", p["data"]["f64"].set_axis([ALL_DATES[8]] * 4))),
        ValueError,
        "ascending",
    ),
    "duplicate codes": (
        _with(lambda p: p["data"].__setitem__("f64", p["data"]["f64"].set_axis(["600000"] * 40, axis=1))),
        ValueError,
        "occurs more than once",
    ),
    "NaN in a flag": (
        _with(lambda p: p["data"].__setitem__("can_buy_stock", p["data"]["can_buy_stock"].astype(float).where(
            p["data"]["can_buy_stock"].ne(p["data"]["can_buy_stock"].iloc[1, 2])))),
        ValueError,
        "bool cannot hold the value NaN",
    ),
}


@pytest.mark.parametrize("case", list(BAD_UPDATES))
def test_bad_updates_leave_the_store_untouched(store, case):
    store.write_payload(part(full_frames(), 0, 10))
    before = snapshot(store.store_dir)
    make, error, message = BAD_UPDATES[case]
    with pytest.raises(error, match=message):
        store.update_payload(make())
    assert snapshot(store.store_dir) == before


def test_an_update_in_another_dtype_is_refused(store, tmp_path):
    store.write_payload(part(full_frames(), 0, 10))
    before = snapshot(store.store_dir)
    other = BinaryPreparedDataStoreBase(store.store_dir, {**DTYPES, "i32": "float64"}, 1, "float64")
    with pytest.raises(ValueError, match="'i32' is stored as int32, the update would write float64"):
        other.update_payload(part(full_frames(), 8, 12))
    assert snapshot(store.store_dir) == before


def write_old_layout(root, frames):
    """A store as the previous version wrote it: one .npy file per dataset and format 1."""
    data = root / "data"
    data.mkdir(parents=True)

    def axis(labels):
        labels = np.asarray(labels, dtype=str)
        name = f"axis-{axis_digest(labels)}.npy"
        np.save(data / name, labels)
        return f"data/{name}"

    datasets = {}
    for key, frame in frames.items():
        if key == "benchmark_dict":
            continue
        np.save(data / f"{key}-0.npy", frame.to_numpy())
        datasets[key] = {
            "file": f"data/{key}-0.npy", "dtype": DTYPES[key], "shape": list(frame.shape),
            "index": axis(frame.index), "columns": axis(frame.columns), "index_name": None, "columns_name": None,
        }
    series = frames["benchmark_dict"]["000300"]
    np.save(data / "benchmark-0.npy", series.to_numpy())
    benchmarks = {"000300": {"values": "data/benchmark-0.npy", "index": axis(series.index), "name": series.name}}
    metadata = {"format": 1, "version": 1, "meta": {"old": True}, "datasets": datasets, "benchmarks": benchmarks}
    (root / "metadata.pkl").write_bytes(pickle.dumps(metadata, protocol=pickle.HIGHEST_PROTOCOL))


def test_a_store_of_the_previous_layout_loads_and_converts_on_its_first_update(store):
    frames = full_frames()
    old = part(frames, 0, 30)["data"]
    write_old_layout(store.store_dir, old)
    assert_loads_equal(store, {k: v for k, v in old.items() if k != "benchmark_dict"}, old["benchmark_dict"])
    kept = store.load()["data"]["f64"]
    assert store.verify() == []
    store.update_payload(part(frames, 28, 33))
    metadata = store.load_metadata()
    assert metadata["format"] == 2 and metadata["meta"]["old"] is True
    assert all(d["layout"] == "log" for d in metadata["datasets"].values())
    expected = {k: v.iloc[:33] for k, v in frames.items() if k != "benchmark_dict"}
    assert_loads_equal(store, expected, {"000300": frames["benchmark_dict"]["000300"].iloc[:33]})
    pd.testing.assert_frame_equal(kept, frames["f64"].iloc[:30])  # the old file's mapping is still whole
    assert not any(name.endswith("-0.npy") for name in os.listdir(store.store_dir / "data"))


def test_without_stitched_mappings_a_load_copies_the_same_frames(store, monkeypatch):
    from tessary.store import files

    frames = full_frames()
    store.write_payload(part(frames, 0, 30))
    for hi in range(31, 36):
        store.update_payload(part(frames, hi - 3, hi))
    mapped = store.load()["data"]
    monkeypatch.setattr(files, "_libc", lambda: None)
    copied = store.load()["data"]
    for key, frame in mapped.items():
        pd.testing.assert_frame_equal(copied[key], frame)
        pd.testing.assert_frame_equal(frame, frames[key].iloc[:35])
    # Copies hold the stock columns only, contiguous, whatever the spare columns.
    in_memory = store.load(ALL_DATES[2], ALL_DATES[33], mmap=False)["data"]
    for key, frame in in_memory.items():
        assert frame.to_numpy().flags.c_contiguous, key
        pd.testing.assert_frame_equal(frame, frames[key].iloc[2:34])


def test_a_supplement_during_an_update_is_refused(tmp_path):
    from tessary.backtest import _prepare as P

    store = P.BinaryPreparedDataStore(tmp_path / "s", [])
    dates, codes = ALL_DATES[:5], ALL_CODES[:3]
    data = {k: pd.DataFrame(np.zeros((5, 3), dtype=d), index=dates, columns=codes) for k, d in P.BASE_MATRIX_DTYPE.items()}
    store.write_payload({"version": 1, "meta": {}, "data": data})
    name = "rq_index_components_new_000300.XSHG"
    mask = pd.DataFrame(1.0, index=dates, columns=codes)
    with held_by_another_writer(store.store_dir):
        with pytest.raises(StoreLockedError):
            store.add_component_matrices({name: mask}, [name])
    # While a supplement runs, an update from elsewhere is refused.
    refused = []

    def update_elsewhere():
        try:
            store.update_payload({"version": 1, "meta": {}, "data": data})
        except StoreLockedError:
            refused.append(True)

    write_matrix = store._write_matrix

    def write_matrix_meanwhile(*args):
        thread = threading.Thread(target=update_elsewhere)
        thread.start()
        thread.join()
        return write_matrix(*args)

    store._write_matrix = write_matrix_meanwhile
    assert store.add_component_matrices({name: mask}, [name]) == [name] and refused == [True]
