"""Long-to-wide conversion of factor answers, against a plain pandas version of the steps."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from tessary.backtest import _prepare as prep
from reference.pivot import factors_to_matrices as reference

try:
    STR = pd.StringDtype("pyarrow", na_value=np.nan)
except TypeError:  # pandas 2.2 names the same arrow-backed, NaN-missing dtype this way
    STR = pd.StringDtype("pyarrow_numpy")


@pytest.fixture
def builder():
    return prep.GroupPreparedDataBuilder("20240101", "20240131")


def assert_same(got, expected):
    assert list(got) == list(expected)
    for name in expected:
        if len(expected[name]) == 0:
            assert len(got[name]) == 0, name
        else:
            pd.testing.assert_frame_equal(got[name], expected[name])


def random_answer(rng, n=600, wide=False):
    codes = [f"{600000 + i:06d}" for i in range(8)] + [f"{i:06d}" for i in range(1, 9)]
    ukey = [c + rng.choice(["", ".XSHG", ".XSHE"]) for c in rng.choice(codes, n)]
    days = pd.bdate_range("2024-01-02", periods=12).strftime("%Y-%m-%d")
    date = list(rng.choice(days, n))
    for i in rng.choice(np.arange(1, n), 15, replace=False):
        date[i] = "not a date"
    for i in rng.choice(np.arange(1, n), 10, replace=False):
        ukey[i] = None
    def values():
        v = rng.normal(size=n).round(1).astype(object)  # rounding makes equal values
        v[rng.random(n) < 0.1] = np.nan
        v[rng.random(n) < 0.03] = np.inf
        v[rng.random(n) < 0.03] = -np.inf
        v[rng.random(n) < 0.05] = "n/a"
        return v
    frame = pd.DataFrame({"ukey": ukey, "date": date})
    if wide:
        frame["a"] = values()
        frame["b"] = pd.to_numeric(values(), errors="coerce")
        return frame
    frame["value"] = values()
    frame["factor"] = rng.choice(["a", "b", "unasked"], n)
    return frame


@pytest.mark.parametrize("seed", [0, 1, 2])
@pytest.mark.parametrize("wide", [False, True])
def test_random_answers_match_pandas(builder, seed, wide):
    df = random_answer(np.random.default_rng(seed), wide=wide)
    names = ["b", "a", "missing"]
    assert_same(builder._tsy_factors_to_matrices(df, names), reference(df, names))


@pytest.mark.parametrize(
    "convert",
    [
        lambda d: d.astype(object),
        lambda d: d.astype({"ukey": STR, "date": STR, "factor": STR}),
        lambda d: d.astype({"ukey": "category", "date": "category", "factor": "category"}),
        lambda d: d.assign(date=pd.to_datetime(d["date"], errors="coerce")),
        lambda d: d.assign(date=pd.to_datetime(d["date"], errors="coerce").dt.tz_localize("Asia/Shanghai")),
        lambda d: d.assign(ukey=d["ukey"].str[:6].astype(float).astype("Int64")),
        lambda d: d.assign(value=pd.to_numeric(d["value"], errors="coerce").astype("Float64")),
    ],
    ids=["object", "arrow", "categorical", "datetime64", "tz-aware", "nullable-int-codes", "nullable-values"],
)
def test_column_dtypes_match_pandas(builder, convert):
    df = random_answer(np.random.default_rng(5))
    df = df[df["ukey"].notna() & (df["date"] != "not a date")].reset_index(drop=True)
    df = convert(df)
    assert_same(builder._tsy_factors_to_matrices(df, ["a", "b"]), reference(df, ["a", "b"]))


def test_chunked_arrow_columns_with_offsets_and_nulls(builder):
    ukey = pa.chunked_array([pa.array(["600000.XSHG", None, "000001"]), pa.array(["x", "000001.XSHE", "600000"]).slice(1)])
    date = pa.chunked_array([pa.array(["2024-01-02", "2024-01-02", "2024-01-03"], pa.large_string()),
                             pa.array(["2024-01-04", "2024-01-04"], pa.large_string())])
    df = pd.DataFrame({"ukey": STR.__from_arrow__(ukey), "date": STR.__from_arrow__(date),
                       "value": [1.0, 2.0, 3.0, 4.0, 5.0], "factor": "a"})
    got = builder._tsy_factors_to_matrices(df, ["a"])["a"]
    expected = pd.DataFrame({"000001": [np.nan, 3.0, 4.0], "600000": [1.0, np.nan, 5.0]},
                            index=["20240102", "20240103", "20240104"])
    pd.testing.assert_frame_equal(got, expected, check_index_type=False, check_column_type=False)


def test_suffixed_and_bare_codes_share_a_column_and_the_later_row_wins(builder):
    df = pd.DataFrame({
        "ukey": ["600000.XSHG", "600000", "000001.XSHE", "000001.XSHE", "000001"],
        "date": ["2024-01-02", "2024-01-02", "2024-01-02", "2024-01-03", "2024-01-03"],
        "value": [1.0, 2.0, 3.0, 4.0, np.nan],
        "factor": "f",
    })
    got = builder._tsy_factors_to_matrices(df, ["f"])["f"]
    assert list(got.columns) == ["000001", "600000"] and list(got.index) == ["20240102", "20240103"]
    assert got.loc["20240102", "600000"] == 2.0  # later duplicate
    assert got.loc["20240103", "000001"] == 4.0  # a missing value never overrides
    assert np.isnan(got.loc["20240103", "600000"])


def test_more_distinct_raw_codes_than_sixteen_bits_hold(builder):
    n = 40_000
    df = pd.DataFrame({"ukey": [f"000001.{i}" for i in range(n)], "date": "2024-01-02",
                       "value": np.arange(n, dtype=float), "factor": "f"})
    got = builder._tsy_factors_to_matrices(df.astype({"ukey": STR, "date": STR}), ["f"])["f"]
    assert got.shape == (1, 1) and got.iloc[0, 0] == n - 1


@pytest.mark.parametrize("order", ["date, code", "code, date", "shuffled"])
@pytest.mark.parametrize("codes", ["text", "integers"])
def test_row_orders_of_a_whole_answer_give_the_same_matrices(builder, order, codes):
    # Sorted answers repeat the order in which dates and codes first appeared, which the
    # factorisation takes without a hash lookup; a shuffled one needs the lookup.
    rng = np.random.default_rng(11)
    days = pd.bdate_range("2024-01-02", periods=9).strftime("%Y-%m-%d")
    names = [f"{600000 + i:06d}" for i in range(7)] + [f"{i:06d}" for i in range(1, 6)]
    grid = pd.MultiIndex.from_product([days, names], names=["date", "ukey"]).to_frame(index=False)
    grid = grid.assign(value=rng.normal(size=len(grid)).round(2), factor=rng.choice(["a", "b"], len(grid)))
    if order == "code, date":
        grid = grid.sort_values(["ukey", "date"], kind="stable")
    elif order == "shuffled":
        grid = grid.sample(frac=1.0, random_state=3)
    df = grid.reset_index(drop=True)
    if codes == "integers":
        df = df.assign(ukey=df["ukey"].astype("Int64"))
    assert_same(builder._tsy_factors_to_matrices(df, ["a", "b"]), reference(df, ["a", "b"]))


def test_dates_and_keys_only_used_by_dropped_rows_leave_no_row_or_column(builder):
    df = pd.DataFrame({"ukey": ["600000", "000002"], "date": ["2024-01-02", "2024-01-03"],
                       "value": [1.0, "oops"], "factor": "f"})
    got = builder._tsy_factors_to_matrices(df, ["f"])["f"]
    assert got.shape == (1, 1) and list(got.index) == ["20240102"]


def test_answers_without_data(builder):
    for df in (None, pd.DataFrame(), pd.DataFrame({"ukey": [], "date": [], "value": []})):
        out = builder._tsy_factors_to_matrices(df, ["a", "b", "a"])
        assert list(out) == ["a", "b"] and all(len(m) == 0 for m in out.values())
    # a wide answer without the asked column, a narrow one without the asked factor
    wide = pd.DataFrame({"ukey": ["600000"], "date": ["2024-01-02"], "other": [1.0]})
    narrow = wide.rename(columns={"other": "value"}).assign(factor="other")
    assert len(builder._tsy_factors_to_matrices(wide, ["a"])["a"]) == 0
    assert len(builder._tsy_factors_to_matrices(narrow, ["a"])["a"]) == 0


@pytest.mark.parametrize("drop", ["ukey", "date"])
def test_missing_key_columns(builder, drop):
    df = pd.DataFrame({"ukey": ["600000"], "date": ["2024-01-02"], "value": [1.0], "factor": ["a"]}).drop(columns=drop)
    with pytest.raises(KeyError) as info:
        builder._tsy_factors_to_matrices(df, ["a"])
    assert info.value.args == ("因子查询返回结果缺少 ukey/date 列",)


def test_bad_answers_raise_clear_errors(builder):
    narrow = pd.DataFrame({"ukey": ["600000"], "DataDate": ["2024-01-02"], "factor_name": ["a"]})
    with pytest.raises(KeyError, match="not in index"):
        builder._tsy_factors_to_matrices(narrow, ["a"])
    with pytest.raises(TypeError, match="must be a pandas DataFrame or None, got list"):
        builder._tsy_factors_to_matrices([{"ukey": "600000"}], ["a"])
    doubled = pd.DataFrame([["600000", "2024-01-02", "2024-01-02", 1.0]], columns=["ukey", "date", "DataDate", "a"])
    with pytest.raises(ValueError, match="2 columns named 'DataDate'"):
        builder._tsy_factors_to_matrices(doubled, ["a"])
    with pytest.raises(TypeError, match=r"Argument 'names' has incorrect type \(expected list, got tuple\)"):
        builder._tsy_factors_to_matrices(None, ("a",))
    complex_values = pd.DataFrame({"ukey": ["600000"], "date": ["2024-01-02"], "factor": ["a"], "value": [1 + 1j]})
    with pytest.raises(TypeError, match="complex"):
        builder._tsy_factors_to_matrices(complex_values, ["a"])


def test_uses_the_module_helpers_at_call_time(builder, monkeypatch):
    df = pd.DataFrame({"ukey": ["600000"], "date": ["2024-01-02"], "value": [1.0], "factor": ["a"]})
    monkeypatch.setattr(prep, "clean_matrix", lambda m: m * 10)
    monkeypatch.setattr(prep, "series_to_yyyymmdd", lambda v: pd.Series(["19990101"] * len(v)))
    got = builder._tsy_factors_to_matrices(df, ["a"])["a"]
    assert list(got.index) == ["19990101"] and got.iloc[0, 0] == 10.0


def test_missing_codes_and_names_are_dropped_not_read_as_text(builder):
    # Object columns with None and NaN: no column "None" or "nan" on any pandas.
    df = pd.DataFrame({"ukey": pd.Series(["600000.XSHG", None, np.nan, "000001", "000001"], dtype=object),
                       "date": "2024-01-02", "value": [1.0, 2.0, 3.0, 4.0, 5.0],
                       "factor": pd.Series(["a", "a", "a", None, np.nan], dtype=object)})
    got = builder._tsy_factors_to_matrices(df, ["a", "None", "nan"])
    assert list(got["a"].columns) == ["600000"] and got["a"].iloc[0, 0] == 1.0
    assert len(got["None"]) == 0 and len(got["nan"]) == 0
    assert_same(got, reference(df, ["a", "None", "nan"]))
