"""build() and build_incremental(): sources, query counts, the payload and its failures."""

import numpy as np
import pandas as pd
import pytest

from prepare_fakes import market_client, registered
from tessary.backtest import _prepare as prep
from tessary.store import component_dataset_key
from tessary.exceptions import NetworkError

COMPONENTS = prep.COMPONENT_FACTOR_NAMES


@pytest.fixture
def builder():
    return prep.GroupPreparedDataBuilder("20240101", "20240131")


def assert_same_data(left, right):
    assert list(left) == list(right)
    for key, value in left.items():
        if key == "benchmark_dict":
            assert list(value) == list(right[key])
            for name in value:
                pd.testing.assert_series_equal(value[name], right[key][name])
        else:
            pd.testing.assert_frame_equal(value, right[key])


def test_full_and_incremental_payloads_agree(builder):
    client, mats = market_client()
    with registered(client):
        full = builder.build()
        n_full = len(client.calls)
        incremental = builder.build_incremental()
    assert list(full) == ["version", "meta", "data"] and full["version"] == 1
    meta = full["meta"]
    assert list(meta) == ["start_date", "end_date", "ddb_start", "ddb_end", "component_names",
                          "component_dataset_keys", "created_at"]
    assert meta["component_names"] == COMPONENTS
    assert meta["component_dataset_keys"] == {n: component_dataset_key(n) for n in COMPONENTS}
    pd.Timestamp(meta["created_at"])
    assert list(incremental["meta"])[-1] == "updated_at"
    assert {k: v for k, v in incremental["meta"].items() if k != "updated_at"} == \
        {k: v for k, v in meta.items() if k != "created_at"}
    data = full["data"]
    assert list(data) == list(prep.BASE_MATRIX_DTYPE) + [component_dataset_key(n) for n in COMPONENTS] + ["benchmark_dict"]
    assert_same_data(data, incremental["data"])
    pd.testing.assert_frame_equal(data["close_price"], mats["Close"])
    mask = data[component_dataset_key(COMPONENTS[0])]
    assert set(np.unique(mask.to_numpy()[~np.isnan(mask.to_numpy())])) <= {1.0}
    # 15 single factor queries and one index query, then one batch and one index query
    assert n_full == 16 and len(client.calls) == 18
    assert client.calls[-2][1] == prep.BUILD_INPUT_NAMES + COMPONENTS


def test_wide_answers_give_the_same_payload(builder):
    narrow, _ = market_client()
    wide, _ = market_client(shape="wide")
    with registered(narrow):
        expected = builder.build_incremental()["data"]
    with registered(wide):
        assert_same_data(builder.build_incremental()["data"], expected)
        assert_same_data(builder.build()["data"], expected)


def test_optional_factor_without_data_becomes_all_nan(builder):
    client, mats = market_client(batch_drop={"rq_get_dividend"}, single_empty={"rq_get_dividend"})
    with registered(client):
        payload = builder.build_incremental()
    # re-read once by the batch reader, not again afterwards
    assert client.factor_calls().count("rq_get_dividend") == 1 and len(client.calls) == 3
    dividend = payload["data"]["rq_get_dividend"]
    assert dividend.isna().all().all() and dividend.index.equals(mats["Close"].index)


def test_required_factor_is_queried_a_third_time(builder):
    client, _ = market_client(batch_drop={"Open"}, single_empty={"Open"})
    with registered(client):
        payload = builder.build_incremental()
    # the batch, the batch reader's re-read and the source reader's own read
    assert client.factor_calls().count("Open") == 2 and len(client.calls) == 4
    assert len(payload["data"]["open_price"]) == 0


@pytest.mark.parametrize("incremental", [False, True])
def test_missing_component_is_fatal(builder, incremental):
    missing = COMPONENTS[-1]
    client, _ = market_client(batch_drop={missing}, single_empty={missing})
    with registered(client):
        with pytest.raises(ValueError) as info:
            builder.build_incremental() if incremental else builder.build()
    assert str(info.value) == "成分股矩阵缺失，无法精确生成二进制缓存: " + str([missing])


def test_component_network_error_drops_only_that_component(builder):
    client, _ = market_client(single_error={COMPONENTS[1]})
    with registered(client):
        with pytest.raises(ValueError, match="000905"):
            builder.build()
        out = builder._component_matrices(COMPONENTS)
    assert list(out) == [n for n in COMPONENTS if n != COMPONENTS[1]]


@pytest.mark.parametrize("failing", [{"single_error": {"Close"}}, {"index_error": True},
                                     {"batch_error": True, "single_error": {"limit_up"}}])
def test_network_errors_of_required_reads_propagate(builder, failing):
    client, _ = market_client(**failing)
    with registered(client):
        with pytest.raises(NetworkError):
            builder.build_incremental() if "batch_error" in failing else builder.build()


def test_methods_are_looked_up_on_the_instance(builder, monkeypatch):
    client, _ = market_client()
    monkeypatch.setattr(prep.GroupPreparedDataBuilder, "_read_benchmark_dict", lambda self: {"custom": "value"})
    with registered(client):
        assert builder.build()["data"]["benchmark_dict"] == {"custom": "value"}


def test_argument_checks(builder):
    with pytest.raises(TypeError, match=r"Argument 'meta_time_key' has incorrect type \(expected str, got int\)"):
        builder._build_payload(True, 1)
    with pytest.raises(TypeError, match=r"Argument 'component_names' has incorrect type \(expected list, got tuple\)"):
        builder._assemble_payload({}, {}, {}, (), "created_at")
    with pytest.raises(TypeError, match=r"Argument 'benchmark_dict' has incorrect type \(expected dict, got NoneType\)"):
        builder._assemble_payload({}, {}, None, [], "created_at")
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        builder.build(1)
    payload = builder._assemble_payload({"a": 1}, {"n": 2}, {"b": 3}, ["n"], "t")
    assert payload["data"] == {"a": 1, component_dataset_key("n"): 2, "benchmark_dict": {"b": 3}}
    assert list(payload["meta"])[-1] == "t"
