"""Situations that used to give a silently wrong backtest, on small hand-made markets:
a build from a database that lacks a needed factor, suspended days written without a
close, a delisted stock kept in the weights, fees given in percent, and files whose
codes or values cannot be read."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import BinaryPreparedDataStore, TessaryWarning, run_backtest
from tessary.build import BuildError, build_store
from tessary.cli import main
from tessary.local import FACTOR_TABLE, LocalDataClient, load_files
from tessary.sweep import run_sweep

from handmade import close_matrix, factors_of, index_bars, market_store, write_market
from tessary.local import write_database


def run_cli(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


class TestBuildChecksItsSources:
    @pytest.mark.parametrize("drop", [
        ("limit_up", "limit_down"), ("Close",), ("tick_vwap_price_935_1005",), ("rq_is_suspended",), ("Open",),
    ])
    def test_a_missing_needed_factor_stops_the_build_before_anything_is_written(self, tmp_path, capsys, drop):
        db = write_market(tmp_path / "m.duckdb", drop=drop)
        with pytest.raises(BuildError, match=", ".join(drop) + " between 20240102 and 20240226"):
            build_store(db, tmp_path / "store")
        assert not (tmp_path / "store" / "metadata.pkl").exists()
        code, out, err = run_cli(capsys, "build", db, tmp_path / "store")
        assert code == 2 and all(name in err.splitlines()[-1] for name in drop) and "Traceback" not in err
        assert not (tmp_path / "store" / "metadata.pkl").exists()

    def test_a_factor_outside_the_range_is_missing_and_one_on_fewer_dates_warns(self, tmp_path):
        close = close_matrix()
        factors = factors_of(close)
        factors["limit_up"] = factors["limit_up"].iloc[:10]
        db = write_database(tmp_path / "m.duckdb", factors, index_bars(close.index))
        assert build_store(db, tmp_path / "store", end="20240110")["problems"] == []  # inside the factor's days
        with pytest.raises(BuildError, match="limit_up between"):
            build_store(db, tmp_path / "other", start="20240201")
        problems = build_store(db, tmp_path / "partial")["problems"]
        assert len(problems) == 1 and "of the 40 dates with a close between 20240102 and 20240226, some " \
            "factors have fewer: limit_up on 10" in problems[0]

    def test_splits_dividends_and_industry_may_be_absent(self, tmp_path):
        db = write_market(tmp_path / "m.duckdb", drop=("rq_industry_exposure_new",))
        summary = build_store(db, tmp_path / "store")
        assert summary["dates"] == 40 and summary["problems"] == []


@pytest.fixture(scope="module")
def troubled(tmp_path_factory):
    """A market whose 600004 is suspended on days 10-12 without a close, whose 000002
    stops trading after day 20 (delisted) and whose 600006 carries a Shenzhen suffix."""
    tmp = tmp_path_factory.mktemp("troubled")
    close = close_matrix()
    close.iloc[10:13, 1] = np.nan
    close.iloc[21:, 4] = np.nan
    close = close.rename(columns={"600006.XSHG": "600006.XSHE"})
    db = write_market(tmp / "m.duckdb", close)
    return db, tmp


class TestDataReport:
    def test_gaps_delistings_and_wrong_suffixes_are_reported(self, troubled, capsys):
        db, tmp = troubled
        code, out, err = run_cli(capsys, "build", db, tmp / "report")
        assert code == 0, err
        assert "stock-days without a close between two closes: 3 (1 stock(s)); days trading resumes " \
               "without a previous close: 1" in out
        assert "stocks whose close stops before the last date (delisted): 1 (000002 after 20240130)" in out
        warned = [line for line in err.splitlines() if "warning:" in line]
        assert len(warned) == 2, err
        assert "600006.XSHE (600006 is listed in Shanghai, not Shenzhen)" in warned[0]
        assert "(600004)" in warned[1] and "forces up to 1 held position(s) to be sold" in warned[1]
        assert "write the previous close on suspended days" in warned[1]


@pytest.fixture(scope="module")
def troubled_store(troubled):
    db, tmp = troubled
    build_store(db, tmp / "store")
    return tmp / "store"


class TestDelisting:
    @pytest.fixture
    def store(self, troubled_store):
        return troubled_store

    def weights(self, store, until):
        close = BinaryPreparedDataStore(store).load(keys=["close_price"], mmap=False)["data"]["close_price"]
        weights = pd.DataFrame(0.0, index=close.index, columns=close.columns)
        weights.loc[:, "000002"] = 0.2
        weights.loc[:, "600000"] = 0.2
        weights.loc[weights.index[until:], "000002"] = 0.0  # sold from day `until` on
        return weights.iloc[2:]

    def test_weights_kept_after_the_last_close_warn_and_the_records_mark_it(self, store):
        weights = self.weights(store, until=40)
        with pytest.warns(TessaryWarning, match=r"keep 1 stock\(s\) more than 5 trading days after their last close "
                                                r"\(delisted\?\): '000002 \(last close 20240130, kept 19 days\)'"):
            result = run_backtest(weights, store, benchmark=None)
        positions = result.positions
        stale = positions[positions["after_last_close"]]
        assert set(stale["code"]) == {"000002"} and (stale["date"] > pd.Timestamp("2024-01-30")).all()
        assert len(stale) == 19 and not positions.loc[positions["code"] == "600000", "after_last_close"].any()

    def test_five_days_after_are_allowed(self, store):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            run_backtest(self.weights(store, until=26), store, benchmark=None)  # days 21..25 kept

    def test_the_sweep_and_the_command_line_warn_alike(self, store, tmp_path, capsys):
        weights = self.weights(store, until=40)
        with pytest.warns(TessaryWarning, match=r"combination\(s\) 0: the weights keep 1 stock\(s\).*000002"):
            run_sweep(store, lambda market: weights, {"fee": [1e-4]}, workers=1, progress=False)
        weights.to_csv(tmp_path / "w.csv", index_label="date")
        code, out, err = run_cli(capsys, "run", tmp_path / "w.csv", store, "--out", tmp_path)
        assert code == 0 and re.search(r"warning: the weights keep 1 stock\(s\).*000002", err), err


class TestFees:
    def test_a_fee_above_one_percent_warns_at_every_door(self, tmp_path):
        _, store = market_store(tmp_path)
        close = BinaryPreparedDataStore(store).load(keys=["close_price"], mmap=False)["data"]["close_price"]
        weights = pd.DataFrame(0.2, index=close.index[:10], columns=close.columns[:3])
        with pytest.warns(TessaryWarning, match=r"fee=0.3 charges 30.00% .*not percent"):
            run_backtest(weights, store, fee=0.3)
        with pytest.warns(TessaryWarning, match=r"rule_fee=0.02 charges 2.00%"):
            run_backtest(weights, store, rule_fee=0.02)
        with pytest.warns(TessaryWarning, match=r"combination\(s\) 1: fee=0.05"):
            run_sweep(store, lambda market: weights, {"fee": [0.001, 0.05]}, workers=1, progress=False)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            run_backtest(weights, store, fee=0.01, rule_fee=0.01)


class TestLoadFiles:
    def csv(self, tmp_path, name, rows):
        path = tmp_path / name
        path.write_text("ukey,date,factor,value\n" + "\n".join(rows) + "\n")
        return path

    def test_integer_codes_are_refused(self, tmp_path):
        frame = pd.DataFrame({"ukey": [1, 600000], "date": ["2024-01-02"] * 2, "factor": "Close", "value": [9.0, 8.0]})
        frame.to_parquet(tmp_path / "ints.parquet")
        with pytest.raises(ValueError, match="ukey is a column of integers"):
            load_files(tmp_path / "m.duckdb", factors=tmp_path / "ints.parquet")
        with pytest.warns(TessaryWarning, match=r"dropped 1 row\(s\).*first: 1, 2024-01-02"):
            counts = load_files(tmp_path / "m.duckdb", factors=tmp_path / "ints.parquet", errors="drop")
        assert counts[FACTOR_TABLE] == 1

    @pytest.mark.parametrize("bad_rows, first", [
        (['600000.XSHG,2024-01-03,Close,"1,5"', "600000.XSHG,2024-01-04,Close,abc"], '600000.XSHG, 2024-01-03, 1,5'),
        (["1,2024-01-03,Close,9.5", "12,2024-01-04,Close,9.6"], "1, 2024-01-03, 9.5"),
    ])
    def test_unreadable_rows_are_refused_or_dropped_with_a_report(self, tmp_path, bad_rows, first):
        good = ["600000.XSHG,2024-01-02,Close,9.0", ""]
        path = self.csv(tmp_path, "f.csv", [good[0], *bad_rows, "000001.XSHE,2024-01-02,Close,"])
        with pytest.raises(ValueError, match=re.escape(f"2 row(s) whose ukey does not begin with six digits or "
                                                       f"whose value is not a number (first: {first}")):
            load_files(tmp_path / "m.duckdb", factors=path)
        assert not (tmp_path / "m.duckdb").exists() or LocalDataClient(tmp_path / "m.duckdb").factor_names() == []
        with pytest.warns(TessaryWarning, match=r"f.csv: dropped 2 row\(s\)"):
            counts = load_files(tmp_path / "m.duckdb", factors=path, errors="drop")
        assert counts[FACTOR_TABLE] == 1  # the blank value is a missing value, skipped silently as before
        with pytest.raises(ValueError, match="errors must be 'raise' or 'drop'"):
            load_files(tmp_path / "m.duckdb", factors=path, errors="ignore")

    def test_index_bars_with_an_unreadable_close(self, tmp_path):
        path = tmp_path / "i.csv"
        path.write_text("ukey,date,close\n000300.XSHG,2024-01-02,3500.1\n000300.XSHG,2024-01-03,\"3,501.2\"\n")
        with pytest.raises(ValueError, match=r"1 row\(s\) .*close is not a number"):
            load_files(tmp_path / "m.duckdb", index_daily=path)


def test_the_sweep_command_prints_the_fee_warning(tmp_path, capsys):
    _, store = market_store(tmp_path)
    code, out, err = run_cli(capsys, "sweep", store, "--strategy", "momentum", "--grid", "lookback=5",
                             "--grid", "rebalance=5", "--grid", "fee=0.0001,0.3", "--threads", "1",
                             "--out", tmp_path / "sweep")
    assert code == 0, err
    warned = [line for line in err.splitlines() if "warning:" in line]
    assert len(warned) == 1 and "combination(s) 1: fee=0.3 charges 30.00%" in warned[0], err
