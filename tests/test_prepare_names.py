"""Module constants, name lists, dtype maps, date strings and the store helpers."""

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from tessary import singleton
from tessary.backtest import _prepare as prep
from tessary.store import clean_matrix, component_dataset_key, normalize_yyyymmdd


def test_constants_and_their_order():
    assert prep.BUILD_INPUT_NAMES == prep.REQUIRED_FACTOR_NAMES + prep.OPTIONAL_FACTOR_NAMES
    assert list(prep.BENCHMARK_INDEX_CODES) == ["000852", "000300", "000905"]
    assert list(prep.BASE_MATRIX_DTYPE)[-3:] == ["can_buy_stock", "cant_sell_stock", "forward_return_rank_cache"]
    assert prep.BASE_MATRIX_DTYPE["can_buy_stock"] == "bool" and prep.BASE_MATRIX_DTYPE["rq_get_split"] == "float64"
    assert (prep.PREPARED_DATA_VERSION, prep.TAIL_RELOAD_ROWS) == (1, 2)


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("a, b；c", ["a", "b", "c"]),
        ("a,,b\n", ["a", "b"]),
        ("x，y;z\n\nw", ["x", "y", "z", "w"]),
        ("   ", []),
        (["a", " b "], ["a", "b"]),
        ([1, None, "x"], ["1", "None", "x"]),
        (("a", "a"), ["a", "a"]),
        (None, []),
    ],
)
def test_parse_name_list(raw, expected):
    assert prep.parse_name_list(raw) == expected


def test_handed_out_lists_are_copies():
    names = prep.get_component_factor_names()
    names.append("x")
    assert prep.get_component_factor_names() == prep.COMPONENT_FACTOR_NAMES
    assert names is not prep.COMPONENT_FACTOR_NAMES


def test_build_matrix_dtype():
    full = prep.build_matrix_dtype()
    assert len(full) == 17 and list(full)[:12] == list(prep.BASE_MATRIX_DTYPE)
    assert list(full)[12:] == [component_dataset_key(n) for n in prep.COMPONENT_FACTOR_NAMES]
    assert prep.build_matrix_dtype([]) == prep.BASE_MATRIX_DTYPE
    assert list(prep.build_matrix_dtype(["b", "a"]))[12:] == [component_dataset_key("b"), component_dataset_key("a")]
    with pytest.raises(TypeError, match=r"Argument 'component_names' has incorrect type \(expected list, got tuple\)"):
        prep.build_matrix_dtype(("a",))


def test_series_to_yyyymmdd():
    out = prep.series_to_yyyymmdd(pd.Series(["2024-01-02", "garbage"], index=[7, 9]))
    assert list(out.index) == [7, 9]
    assert out.iloc[0] == "20240102" and pd.isna(out.iloc[1])
    out = prep.series_to_yyyymmdd(["2024-03-05"])
    assert list(out.index) == [0] and out.iloc[0] == "20240305"


def test_series_to_yyyymmdd_reads_integers_as_yyyymmdd():
    # not as nanoseconds since 1970, which would make every such date 19700101
    out = prep.series_to_yyyymmdd(pd.Series([20240102, 20240230, 7], index=["a", "b", "c"]))
    assert list(out.index) == ["a", "b", "c"]
    assert out.iloc[0] == "20240102" and pd.isna(out.iloc[1]) and pd.isna(out.iloc[2])
    # an integer date column with a missing value arrives as floats
    out = prep.series_to_yyyymmdd(pd.Series([20240102.0, np.nan, 20240103.0]))
    assert out.iloc[0] == "20240102" and pd.isna(out.iloc[1]) and out.iloc[2] == "20240103"
    out = prep.series_to_yyyymmdd(np.array([20240105, 20240108]))
    assert list(out) == ["20240105", "20240108"]


@pytest.mark.parametrize(
    "value, expected",
    [
        ("20240105", "20240105"),
        (" 2024-01-05 ", "20240105"),
        ("2024/1/5", "20240105"),
        (dt.date(2024, 1, 5), "20240105"),
        (dt.datetime(2024, 1, 5, 13), "20240105"),
        (pd.Timestamp("2024-01-05"), "20240105"),
        (20240105, "20240105"),
        (np.int64(20240105), "20240105"),
        (None, None),
    ],
)
def test_normalize_yyyymmdd(value, expected):
    assert normalize_yyyymmdd(value) == expected


@pytest.mark.parametrize("value", ["20240230", "2024-13-01", "yesterday", 2024015, True, 1.5, pd.NaT])
def test_normalize_yyyymmdd_rejects(value):
    with pytest.raises(ValueError, match="not a date"):
        normalize_yyyymmdd(value)


def test_clean_matrix_sorts_axes_and_cleans_values():
    raw = pd.DataFrame({"b": [1, np.inf], "a": [-np.inf, 2]}, index=pd.Index(["2", "1"], name="DataDate"))
    raw.columns.name = "ukey"
    out = clean_matrix(raw)
    assert list(out.index) == ["1", "2"] and list(out.columns) == ["a", "b"]
    assert out.index.name is None and out.columns.name is None
    assert out.dtypes.eq("float64").all()
    assert np.isnan(out.loc["2", "a"]) and np.isnan(out.loc["1", "b"]) and out.loc["1", "a"] == 2.0
    assert raw.loc["1", "b"] == np.inf  # input untouched


def test_component_dataset_keys_are_distinct_and_not_base_keys():
    keys = {component_dataset_key(n) for n in prep.COMPONENT_FACTOR_NAMES}
    assert len(keys) == 5 and not keys & set(prep.BASE_MATRIX_DTYPE)


def test_missing_client_says_how_to_register():
    previous = singleton.set_instance(None)
    try:
        with pytest.raises(RuntimeError, match="set_instance"):
            singleton.get_instance()
    finally:
        singleton.set_instance(previous)
