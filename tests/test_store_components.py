"""BinaryPreparedDataStore: the constituent-extended store of the prepared-data module
(construction, load of the recorded datasets, supplements of constituent masks)."""

import os

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _prepare as P
from tessary.store import BinaryPreparedDataStoreBase
from store_files import snapshot

DATES = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-01", periods=12)]
CODES = ["000001", "000002", "600000"]
NAMES = list(P.COMPONENT_FACTOR_NAMES)
NEW = "rq_index_components_new_932000.INDX"


def mask(seed):
    rng = np.random.default_rng(seed)
    return pd.DataFrame(np.where(rng.random((len(DATES), len(CODES))) > 0.5, 1.0, np.nan), index=DATES, columns=CODES)


def base_payload(components=()):
    rng = np.random.default_rng(0)
    data = {}
    for key, dtype in P.BASE_MATRIX_DTYPE.items():
        values = rng.random((len(DATES), len(CODES)))
        data[key] = pd.DataFrame(values > 0.5 if dtype == "bool" else values, index=DATES, columns=CODES)
    for i, name in enumerate(components):
        data[P.component_dataset_key(name)] = mask(i)
    data["benchmark_dict"] = {"000300": pd.Series(rng.random(len(DATES)), index=DATES, name="index_daily_return")}
    meta = {
        "start_date": DATES[0],
        "component_names": list(components),
        "component_dataset_keys": {n: P.component_dataset_key(n) for n in components},
    }
    return {"version": P.PREPARED_DATA_VERSION, "meta": meta, "data": data}



@pytest.fixture
def store(tmp_path):
    return P.BinaryPreparedDataStore(tmp_path / "store")


@pytest.fixture
def four(store):
    """A store whose meta lists the first four built-in components."""
    store.write_payload(base_payload(NAMES[:4]))
    return store


class TestConstruction:
    def test_subclass_of_the_base_with_the_dtype_map(self, tmp_path, monkeypatch):
        cls = P.BinaryPreparedDataStore
        assert issubclass(cls, BinaryPreparedDataStoreBase) and cls.__module__ == "tessary.backtest._prepare"
        monkeypatch.setenv("HOME", str(tmp_path))
        store = cls("~/env1")
        assert store.store_dir == tmp_path / "env1"
        assert store.matrix_dtype == P.build_matrix_dtype() and len(store.matrix_dtype) == 17
        assert (store.version, store.float_dtype) == (1, "float64")
        assert list(cls(tmp_path, [NEW]).matrix_dtype)[12:] == [P.component_dataset_key(NEW)]
        assert list(cls(tmp_path, []).matrix_dtype) == list(P.BASE_MATRIX_DTYPE)

    def test_argument_types(self, tmp_path, store):
        with pytest.raises(TypeError, match="'component_names' has incorrect type"):
            P.BinaryPreparedDataStore(tmp_path, (NEW,))
        with pytest.raises(TypeError, match="'keys' has incorrect type"):
            store.load(keys=("close_price",))
        with pytest.raises(TypeError, match="'component_matrices' has incorrect type"):
            store.add_component_matrices([], [])
        with pytest.raises(TypeError, match="'component_names' has incorrect type"):
            store.add_component_matrices({}, (NEW,))

    def test_constants_are_looked_up_at_call_time(self, tmp_path, monkeypatch):
        monkeypatch.setattr(P, "build_matrix_dtype", lambda names: {"only": "bool"})
        assert P.BinaryPreparedDataStore(tmp_path).matrix_dtype == {"only": "bool"}


class TestLoad:
    @pytest.fixture
    def spy(self, monkeypatch):
        calls = []

        def fake_load(self, **kwargs):
            calls.append(kwargs)
            return {"version": 1, "meta": {}, "data": {}}

        monkeypatch.setattr(BinaryPreparedDataStoreBase, "load", fake_load)
        return calls

    def test_without_keys_only_recorded_datasets_in_dtype_order(self, store, spy):
        store.write_payload(base_payload())
        store.load("20240101", "20240110", mmap=0)
        assert spy == [
            {"start_date": "20240101", "end_date": "20240110", "keys": list(P.BASE_MATRIX_DTYPE), "mmap": False}
        ]
        store.load(keys=[])
        store.load(keys=["zzz", "close_price"])
        assert spy[1]["keys"] == [] and spy[2]["keys"] == ["zzz", "close_price"] and spy[1]["mmap"] is True

    def test_result_type_is_checked(self, store, monkeypatch):
        monkeypatch.setattr(BinaryPreparedDataStoreBase, "load", lambda self, **kw: None)
        assert store.load() is None
        monkeypatch.setattr(BinaryPreparedDataStoreBase, "load", lambda self, **kw: [1])
        with pytest.raises(TypeError, match="returned list"):
            store.load()

    def test_real_round_trip(self, four):
        out = four.load(DATES[2], DATES[5])
        keys = list(P.BASE_MATRIX_DTYPE) + [P.component_dataset_key(n) for n in NAMES[:4]]
        assert list(out["data"]) == keys and out["meta"]["component_names"] == NAMES[:4]
        expected = base_payload(NAMES[:4])["data"]
        for key in keys:
            pd.testing.assert_frame_equal(out["data"][key], expected[key].iloc[2:6])
        assert four.load(keys=[])["data"] == {}


class TestSupplement:
    def test_nothing_to_do_leaves_the_store_untouched(self, four):
        before = snapshot(four.store_dir)
        assert four.add_component_matrices({}, []) == []
        # Already present: skipped even though its matrix is empty.
        assert four.add_component_matrices({NAMES[0]: mask(0).iloc[:0]}, [NAMES[0]]) == []
        assert snapshot(four.store_dir) == before

    def test_an_empty_second_matrix_records_neither(self, store):
        store.write_payload(base_payload(NAMES[:3]))
        metadata = store.metadata_path.read_bytes()
        with pytest.raises(ValueError) as err:
            store.add_component_matrices({NAMES[3]: mask(3), NEW: mask(4).iloc[:0]}, [NAMES[3], NEW])
        assert str(err.value) == "缺失成分股矩阵为空，无法补充: " + NEW
        assert store.metadata_path.read_bytes() == metadata
        assert store.load_metadata()["meta"]["component_names"] == NAMES[:3]
        with pytest.raises(ValueError, match="无法补充: " + NEW.replace(".", r"\.") + "$"):
            store.add_component_matrices({}, ["  " + NEW + "\n"])  # a missing matrix; the name is stripped
        # A later complete call writes both.
        assert store.add_component_matrices({NAMES[3]: mask(3), NEW: mask(4)}, [NAMES[3], NEW]) == [NAMES[3], NEW]

    def test_the_fifth_name_is_appended_in_order(self, four):
        assert four.add_component_matrices({NEW: mask(9), "other": None}, [NEW, NEW]) == [NEW]
        metadata = four.load_metadata()
        meta = metadata["meta"]
        assert meta["component_names"] == NAMES
        assert meta["component_dataset_keys"] == {n: P.component_dataset_key(n) for n in NAMES}
        assert metadata["updated_at"] == meta["updated_at"] == meta["component_supplemented_at"]
        assert meta["start_date"] == DATES[0]  # the rest of the meta is kept
        out = four.load()
        assert list(out["data"]) == list(P.build_matrix_dtype())
        pd.testing.assert_frame_equal(out["data"][P.component_dataset_key(NEW)], mask(9))
        assert not any(".tmp-" in f for f in snapshot(four.store_dir))

    def test_supplement_into_an_empty_store_and_bad_matrices(self, store):
        with pytest.raises(TypeError, match="DataFrame"):
            store.add_component_matrices({NEW: 1.0}, [NEW])
        assert not store.metadata_path.exists()
        with pytest.raises(TypeError, match="not numbers"):
            store.add_component_matrices({NEW: mask(1).astype(object).fillna("x")}, [NEW])
        assert store.add_component_matrices({NEW: mask(1)}, [NEW]) == [NEW]
        assert list(store.load()["data"]) == [P.component_dataset_key(NEW)]

    def test_a_malicious_metadata_stops_the_supplement_before_writing(self, four, tmp_path):
        import pickle

        class Exploit:
            def __reduce__(self):
                return (os.mkdir, (str(tmp_path / "pwned"),))

        four.metadata_path.write_bytes(pickle.dumps({"datasets": {}, "meta": Exploit()}))
        before = snapshot(four.store_dir)
        with pytest.raises(pickle.UnpicklingError):
            four.add_component_matrices({NEW: mask(1)}, [NEW])
        with pytest.raises(pickle.UnpicklingError):
            four.load()
        assert snapshot(four.store_dir) == before and not (tmp_path / "pwned").exists()


def test_a_built_payload_round_trips(tmp_path):
    from prepare_fakes import market_client, registered

    client, _ = market_client(n_days=8, n_codes=5)
    with registered(client):
        payload = P.GroupPreparedDataBuilder("20240101", "20240131").build()
    store = P.BinaryPreparedDataStore(tmp_path / "s")
    store.write_payload(payload)
    out = store.load()
    assert out["meta"] == payload["meta"] and list(out["data"]) == list(store.matrix_dtype)
    for key, df in out["data"].items():
        pd.testing.assert_frame_equal(df, payload["data"][key])
    bench = store.load_benchmark_dict()
    assert list(bench) == list(payload["data"]["benchmark_dict"])
    for name, series in payload["data"]["benchmark_dict"].items():
        pd.testing.assert_series_equal(bench[name], series)
