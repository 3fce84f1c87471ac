"""Factor queries with batch fallback, benchmark returns and constituent masks."""

import numpy as np
import pandas as pd
import pytest

from prepare_fakes import FakeClient, long_frame, market_client, registered
from reference.masks import component_mask
from tessary.backtest import _prepare as prep
from tessary.exceptions import NetworkError


def matrix(values, dates=("20240102", "20240103"), codes=("000001", "600000")):
    return pd.DataFrame(values, index=list(dates), columns=list(codes), dtype=float)


A = matrix([[1, 2], [3, 4]])
B = matrix([[5, 6], [7, 8]])


@pytest.fixture
def builder():
    return prep.GroupPreparedDataBuilder("20240101", "2024-01-31")


def test_constructor_and_date_rules(builder):
    assert (builder.default_start, builder.end_date) == ("20240101", "20240131")
    assert (builder._ddb_start, builder._ddb_end) == ("20240101", "20240131")
    ddb = prep.GroupPreparedDataBuilder._normalize_ddb_backtest_date
    assert ddb("2024010") == "20240100" and ddb(2024010) == "20240100"
    assert ddb("202401a") == "202401a" and ddb("20240101") == "20240101" and ddb(None) is None
    assert builder._tsy_factor_date("20240105") == "2024-01-05" and builder._tsy_factor_date(None) is None
    with pytest.raises(TypeError, match=r"Argument 'start_date' has incorrect type \(expected str, got int\)"):
        prep.GroupPreparedDataBuilder(20240101, "20240131")
    with pytest.raises(ValueError):
        prep.GroupPreparedDataBuilder("2024-02-30", "20240131")


def test_single_read_uses_dashed_dates_and_keeps_no_empty_rows(builder):
    with registered(FakeClient({"A": long_frame(A)})) as client:
        pd.testing.assert_frame_equal(builder._read_normal_factor_matrix("A"), A)
        assert len(builder._read_normal_factor_matrix("nothing")) == 0
    assert client.calls[0] == ("get_factors", "A", "2024-01-01", "2024-01-31")


def test_batch_reads_missing_names_one_by_one(builder):
    with registered(FakeClient({"A": long_frame(A), "B": long_frame(B)}, batch_drop={"B"})) as client:
        out = builder._read_normal_factor_batch(["A", " B", "C"])
    assert list(out) == ["A", "B", "C"]
    pd.testing.assert_frame_equal(out["B"], B)
    assert len(out["C"]) == 0
    assert client.factor_calls() == [["A", "B", "C"], "B", "C"]


def test_batch_network_error_falls_back_to_every_name(builder):
    with registered(FakeClient({"A": long_frame(A), "B": long_frame(B)}, batch_error=True)) as client:
        out = builder._read_normal_factor_batch(["A", "B"])
    pd.testing.assert_frame_equal(out["A"], A)
    assert client.factor_calls() == [["A", "B"], "A", "B"]
    with registered(FakeClient({}, batch_error=True, single_error={"A"})):
        with pytest.raises(NetworkError):
            builder._read_normal_factor_batch(["A"])
    with registered(FakeClient({})) as client:
        assert builder._read_normal_factor_batch([]) == {} and client.calls == []


def test_other_errors_of_the_batch_query_propagate(builder, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("boom")
    with registered(FakeClient({"A": long_frame(A)})) as client:
        monkeypatch.setattr(client, "get_factors", broken)
        with pytest.raises(RuntimeError, match="boom"):
            builder._read_normal_factor_batch(["A"])


def test_read_or_empty_and_batch_or_read(builder):
    reference = A * 0 + 1
    shuffled = A.iloc[::-1]
    with registered(FakeClient({"A": long_frame(A)})) as client:
        pd.testing.assert_frame_equal(builder._read_or_empty("A", reference, batch={"A": shuffled}), A)
        empty = builder._read_or_empty("Z", reference, batch={"Z": pd.DataFrame()})
        assert empty.index.equals(A.index) and empty.columns.equals(A.columns) and empty.isna().all().all()
        assert client.calls == []  # a batch entry is never re-read here
        pd.testing.assert_frame_equal(builder._read_or_empty("A", reference), A)
        assert builder._read_or_empty("Z", reference).shape == (2, 2)
        pd.testing.assert_frame_equal(builder._batch_or_read({"A": shuffled}, "A"), A)
        pd.testing.assert_frame_equal(builder._batch_or_read({"A": None}, "A"), A)
    assert len(client.calls) == 3
    with pytest.raises(TypeError, match="expected dict, got list"):
        builder._read_or_empty("A", reference, batch=[])
    with pytest.raises(TypeError, match="expected str, got int"):
        builder._batch_or_read({}, 1)


def index_answer(**columns):
    base = {"ukey": ["000852.XSHG"] * 3 + ["000300.XSHG"] * 3,
            "date": ["2024-01-04", "2024-01-02", "2024-01-03"] * 2}
    base.update(columns)
    return pd.DataFrame(base)


def test_benchmark_from_close_only(builder):
    df = index_answer(close=[121.0, 100.0, 110.0, 10.0, 20.0, "x"])
    with registered(FakeClient(index_daily=df)) as client:
        out = builder._read_benchmark_dict()
    assert client.calls == [("get_index_daily", ["000852.XSHG", "000300.XSHG", "000905.XSHG"], "20240101", "20240131")]
    assert list(out) == ["000852", "000300", "000905"]
    s = out["000852"]
    assert s.name == "index_daily_return" and list(s.index) == ["20240103", "20240104"]
    np.testing.assert_allclose(s.to_numpy(), [0.1, 0.1])
    assert len(out["000300"]) == 0  # the change after a non-numeric close is missing too
    assert len(out["000905"]) == 0 and out["000905"].name == "index_daily_return"


def test_benchmark_return_column_wins_over_close_and_ukey_is_optional(builder):
    df = index_answer(close=[1.0] * 6, **{"return": [0.03, 0.01, 0.02, 0.5, 0.5, 0.5]}).drop(columns="ukey").iloc[:3]
    s = builder._format_benchmark_daily_return(df, "000905", "000905.XSHG")
    assert list(s) == [0.01, 0.02, 0.03]
    dup = pd.DataFrame({"DataDate": ["2024-01-02", "2024-01-02", "bad"], "daily_return": [0.1, 0.2, 0.3]})
    assert list(builder._format_benchmark_daily_return(dup, "x", "y")) == [0.2]


@pytest.mark.parametrize(
    "df, message",
    [
        (None, "基准日频数据为空: 000852 (000852.XSHG)"),
        (pd.DataFrame(), "基准日频数据为空: 000852 (000852.XSHG)"),
        (pd.DataFrame({"close": [1.0]}), "000852 基准缺少 DataDate 列"),
        (pd.DataFrame({"date": ["2024-01-02"], "open": [1.0]}), "000852 基准缺少 daily_return/close 列"),
    ],
)
def test_benchmark_errors(builder, df, message):
    with pytest.raises(KeyError) as info:
        builder._format_benchmark_daily_return(df, "000852", "000852.XSHG")
    assert info.value.args == (message,)


def test_benchmark_rejects_non_frames_and_network_errors_propagate(builder):
    with pytest.raises(TypeError, match="DataFrame"):
        builder._format_benchmark_daily_return([1], "000852", "000852.XSHG")
    with registered(FakeClient(index_error=True)):
        with pytest.raises(NetworkError):
            builder._read_benchmark_dict()


def test_component_masks(builder):
    raw = matrix([[0, 5], [-np.inf, np.nan]], dates=("20240103", "20240102"))
    with registered(FakeClient({"C1": long_frame(raw.replace(-np.inf, 7.0))}, single_error={"C2"})) as client:
        out = builder._component_matrices(["C2", "C1", "C3"], batch={"C1": raw})
    assert list(out) == ["C1"]
    expected = matrix([[np.nan, np.nan], [np.nan, 1.0]])
    pd.testing.assert_frame_equal(out["C1"], expected)
    assert client.factor_calls() == ["C2", "C3"]  # C1 came from the batch
    # an object-typed matrix takes the same rule through pandas
    pd.testing.assert_frame_equal(builder._component_matrices(["C1"], batch={"C1": raw.astype(object)})["C1"], expected)


@pytest.mark.parametrize("layout", ["C", "F"])
def test_component_masks_match_the_reference_on_random_data(builder, layout):
    rng = np.random.default_rng(8)
    values = rng.choice([1.0, 0.0, -1.0, 0.5, np.nan, np.inf, -np.inf], (37, 53), p=[0.4, 0.2, 0.05, 0.05, 0.2, 0.05, 0.05])
    dates = [f"2024{m:02d}{d:02d}" for m in range(1, 3) for d in range(1, 29)][:37]
    raw = pd.DataFrame(np.asarray(values, order=layout), index=rng.permutation(dates),  # unsorted dates
                       columns=[f"{i:06d}" for i in range(53)], copy=False)
    got = builder._component_matrices(["C1"], batch={"C1": raw})["C1"]
    pd.testing.assert_frame_equal(got, component_mask(raw))
    assert 0 < np.count_nonzero(got.notna().to_numpy()) < raw.size
