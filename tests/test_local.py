"""The DuckDB-backed data-service client: answer shapes, failures and file loading."""

import duckdb
import numpy as np
import pandas as pd
import pytest

from tessary.exceptions import NetworkError
from tessary.local import LocalDataClient, create_database, load_files, write_database

DATES = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"])
CODES = ["600000.XSHG", "000001.XSHE"]


@pytest.fixture
def db(tmp_path):
    close = pd.DataFrame([[10.0, np.nan], [10.5, 20.0], [11.0, 21.0]], index=DATES, columns=CODES)
    bars = pd.DataFrame(
        {
            "ukey": ["000300.XSHG"] * 3 + ["000905.XSHG"] * 3,
            "date": list(DATES) * 2,
            "close": [100.0, 101.0, 99.99, 50.0, 51.0, 52.0],
            "daily_return": [np.nan, 0.01, -0.01, np.nan, 0.02, 0.0196],
        }
    )
    return write_database(tmp_path / "m.duckdb", {"Close": close, "Open": close - 0.5}, bars)


class TestFactorAnswers:
    def test_single_factor_is_narrow_and_date_bounded(self, db):
        df = LocalDataClient(db).get_factors(factor="Close", start_date="2024-01-03", end_date="20240104")
        assert list(df.columns) == ["ukey", "date", "factor", "value"]
        assert pd.api.types.is_datetime64_any_dtype(df["date"])
        assert set(df["factor"]) == {"Close"}
        # NaN cells are not stored; both bounds are inclusive
        assert sorted(zip(df["ukey"], df["date"].dt.strftime("%Y%m%d"), df["value"])) == [
            ("000001.XSHE", "20240103", 20.0),
            ("000001.XSHE", "20240104", 21.0),
            ("600000.XSHG", "20240103", 10.5),
            ("600000.XSHG", "20240104", 11.0),
        ]

    def test_batch_query_answers_every_requested_factor_in_one_frame(self, db):
        client = LocalDataClient(db)
        df = client.get_factors(factor=["Open", "Close", "NoSuchFactor"], start_date=None, end_date=None)
        assert df.groupby("factor").size().to_dict() == {"Close": 5, "Open": 5}
        opened = df[df["factor"] == "Open"].set_index(["date", "ukey"])["value"]
        assert opened[(pd.Timestamp("2024-01-04"), "000001.XSHE")] == 20.5
        assert client.factor_names() == ["Close", "Open"]
        assert client.date_range() == ("20240102", "20240104")

    def test_unknown_or_empty_request_gives_empty_narrow_frame(self, db):
        client = LocalDataClient(db)
        for factor in ("Missing", []):
            df = client.get_factors(factor=factor, start_date="2024-01-01", end_date="2024-12-31")
            assert df.empty and list(df.columns) == ["ukey", "date", "factor", "value"]

    def test_bad_arguments(self, db):
        client = LocalDataClient(db)
        with pytest.raises(TypeError):
            client.get_factors(factor=3)
        with pytest.raises(ValueError, match="not a date"):
            client.get_factors(factor="Close", start_date="2024-13-01")


class TestIndexAnswers:
    def test_index_bars_filtered_by_code_and_date(self, db):
        df = LocalDataClient(db).get_index_daily(ukeys=["000905.XSHG"], start_date="20240103", end_date="20240104")
        assert list(df.columns) == ["ukey", "date", "close", "daily_return"]
        assert df["ukey"].tolist() == ["000905.XSHG"] * 2
        assert df["daily_return"].tolist() == [0.02, 0.0196]

    def test_all_indices_sorted_by_code_then_date(self, db):
        df = LocalDataClient(db).get_index_daily(ukeys=None)
        assert df["ukey"].tolist() == ["000300.XSHG"] * 3 + ["000905.XSHG"] * 3
        assert df["date"].dt.strftime("%Y%m%d").tolist() == ["20240102", "20240103", "20240104"] * 2


    def test_only_fields_the_data_has_and_returns_derived_from_close(self, tmp_path):
        days = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"])
        close_only = pd.DataFrame({"ukey": "000852.XSHG", "date": days, "close": [10.0, 11.0, 12.1, 12.1]})
        mixed = pd.DataFrame({"ukey": "000300.XSHG", "date": days, "close": [5.0, np.nan, 6.0, 6.6],
                              "daily_return": [np.nan, 0.5, np.nan, 0.25]})
        returns_only = pd.DataFrame({"ukey": "000905.XSHG", "date": days, "daily_return": [0.01, 0.02, 0.03, 0.04]})
        db = write_database(tmp_path / "i.duckdb", {}, pd.concat([close_only, mixed.drop(columns="daily_return")]))
        client = LocalDataClient(db)
        # the first day of a range takes its return from the stored day before it
        bars = client.get_index_daily(ukeys=["000852.XSHG"], start_date="20240103")
        np.testing.assert_allclose(bars["daily_return"], [0.1, 0.1, 0.0], rtol=1e-12)
        # a stored return wins; a missing close leaves that day and the next without one
        load_files(db, index_daily=[self._csv(tmp_path, "mixed", mixed)])
        bars = client.get_index_daily(ukeys="000300.XSHG")
        np.testing.assert_allclose(bars["daily_return"], [np.nan, 0.5, np.nan, 0.25], rtol=1e-12)
        db2 = write_database(tmp_path / "r.duckdb", {}, returns_only)
        bars = LocalDataClient(db2).get_index_daily(ukeys=None)
        assert list(bars.columns) == ["ukey", "date", "daily_return"]  # no all-NULL close column

    @staticmethod
    def _csv(tmp_path, name, frame):
        path = tmp_path / f"{name}.csv"
        frame.to_csv(path, index=False)
        return path


class TestFailures:
    def test_unreadable_databases_raise_network_error(self, tmp_path):
        garbage = tmp_path / "garbage.duckdb"
        garbage.write_bytes(b"not a database")
        empty = tmp_path / "empty.duckdb"
        duckdb.connect(str(empty)).close()  # a valid file without the tables
        for path in (tmp_path / "absent.duckdb", garbage, empty):
            client = LocalDataClient(path)
            with pytest.raises(NetworkError):
                client.get_factors(factor="Close")
            with pytest.raises(NetworkError):
                client.get_index_daily(ukeys=["000300.XSHG"])

    def test_write_never_clobbers_and_leaves_nothing_half_written(self, db, tmp_path):
        before = LocalDataClient(db).get_factors(factor="Close")
        with pytest.raises(FileExistsError):
            write_database(db, {})

        class Boom(dict):
            def items(self):
                yield "Close", pd.DataFrame([[1.0]], index=DATES[:1], columns=CODES[:1])
                raise RuntimeError("interrupted")

        with pytest.raises(RuntimeError):
            write_database(db, Boom(), overwrite=True)
        pd.testing.assert_frame_equal(LocalDataClient(db).get_factors(factor="Close"), before)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["m.duckdb"]


class TestLoadFiles:
    def test_parquet_and_csv_load_in_one_call(self, tmp_path):
        db = tmp_path / "own.duckdb"
        pd.DataFrame(
            {"ukey": ["600000.XSHG"] * 2, "date": pd.to_datetime(["2024-01-02", "2024-01-03"]), "factor": "Close", "value": [9.0, 9.5]}
        ).to_parquet(tmp_path / "close.parquet")
        # six-digit codes with leading zeros, yyyymmdd dates, a repeated key (last wins), a blank value
        (tmp_path / "open.csv").write_text(
            "ukey,date,factor,value\n000001,20240102,Open,1.0\n000001,20240102,Open,1.5\n000002,20240103,Open,\n"
        )
        (tmp_path / "idx.csv").write_text("ukey,date,close\n000300.XSHG,2024-01-02,100\n000300.XSHG,2024-01-03,101\n")
        counts = load_files(db, factors=[tmp_path / "close.parquet", tmp_path / "open.csv"], index_daily=tmp_path / "idx.csv")
        assert counts == {"factor_values": 3, "index_daily": 2}
        client = LocalDataClient(db)
        opened = client.get_factors(factor="Open")
        assert opened[["ukey", "value"]].values.tolist() == [["000001", 1.5]]
        bars = client.get_index_daily(ukeys=["000300.XSHG"])
        # close only: the daily return is derived from it, never a column of NULLs
        assert bars["close"].tolist() == [100.0, 101.0]
        assert np.isnan(bars["daily_return"].iloc[0]) and bars["daily_return"].iloc[1] == 101.0 / 100.0 - 1

        # loading again replaces rows with the same key instead of duplicating them
        (tmp_path / "fix.csv").write_text("ukey,date,factor,value\n600000.XSHG,2024-01-03,Close,9.6\n")
        load_files(db, factors=tmp_path / "fix.csv")
        assert client.get_factors(factor="Close")["value"].tolist() == [9.0, 9.6]

    @pytest.mark.parametrize("folder, name, neighbour", [
        ("g", "f*.csv", "fx.csv"),
        ("g", "f?.parquet", "fx.parquet"),
        ("g", "f[1].csv", "f1.csv"),
        ("g[1]", "f.csv", None),  # a pattern in a folder's name: g1/f.csv would match it
        ("g*", "f.parquet", None),
    ])
    def test_a_file_named_like_a_pattern_is_read_alone(self, tmp_path, folder, name, neighbour):
        def write(path, value):
            path.parent.mkdir(parents=True, exist_ok=True)
            frame = pd.DataFrame({"ukey": ["000001"], "date": ["20240102"], "factor": ["Close"], "value": [value]})
            frame.to_parquet(path) if path.suffix == ".parquet" else frame.to_csv(path, index=False)

        wanted = tmp_path / folder / name
        write(wanted, 1.0)
        write(tmp_path / folder / neighbour if neighbour else tmp_path / "g1" / name, 2.0)
        write(tmp_path / "gx" / name, 3.0)
        db = tmp_path / "own.duckdb"
        assert load_files(db, factors=wanted) == {"factor_values": 1, "index_daily": 0}
        assert LocalDataClient(db).get_factors(factor="Close")["value"].tolist() == [1.0]

    def test_a_bad_file_leaves_the_database_as_it_was(self, tmp_path):
        db = create_database(tmp_path / "own.duckdb")
        good = tmp_path / "good.csv"
        good.write_text("ukey,date,factor,value\n600000.XSHG,2024-01-02,Close,9.0\n")
        bad_date = tmp_path / "bad_date.csv"
        bad_date.write_text("ukey,date,factor,value\n600000.XSHG,Jan 2nd,Close,9.0\n")
        no_value = tmp_path / "no_value.csv"
        no_value.write_text("ukey,date,factor\n600000.XSHG,2024-01-02,Close\n")
        with pytest.raises(ValueError, match="date"):
            load_files(db, factors=[good, bad_date])
        with pytest.raises(ValueError, match="lacks column.*value"):
            load_files(db, factors=[good, no_value])
        with pytest.raises(FileNotFoundError):
            load_files(db, factors=tmp_path / "absent.parquet")
        with pytest.raises(ValueError, match="parquet or .csv"):
            load_files(db, factors=good.rename(tmp_path / "good.json"))
        assert LocalDataClient(db).get_factors(factor="Close").empty
