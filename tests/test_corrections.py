"""Corrections to past days of the database reach the store: the digests kept per
date find the changed dates, an incremental build rebuilds from the earliest and
equals a full build; ``--since`` forces it; a store without digests says it cannot
tell; ``compact`` reclaims the space the updates left behind."""

import shutil

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import BinaryPreparedDataStore
from tessary.build import BuildError, build_store
from tessary.cli import main
from tessary.local import LocalDataClient, load_files, write_database

from handmade import close_matrix, factors_of, index_bars

N_OLD = 30  # days in the first build; the database later holds 40


def run_cli(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def write_days(path, n_days):
    """The first ``n_days`` of one 40-day market: a later call with more days adds days only."""
    close = close_matrix()
    factors = {name: frame.iloc[:n_days] for name, frame in factors_of(close).items()}
    bars = index_bars(close.index)
    return write_database(path, factors, bars[bars["date"].isin(close.index[:n_days])], overwrite=True)


def correct(db, tmp_path, rows):
    """Loads corrected rows (ukey, date, factor, value) as a user would."""
    path = tmp_path / "fix.csv"
    pd.DataFrame(rows, columns=["ukey", "date", "factor", "value"]).to_csv(path, index=False)
    load_files(db, factors=path)


def stored(store_dir):
    loaded = BinaryPreparedDataStore(store_dir).load(mmap=False)
    return loaded["data"]


def assert_same_store(one, other):
    a, b = stored(one), stored(other)
    assert sorted(a) == sorted(b)
    for key in a:
        if key == "benchmark_dict":
            for name in a[key]:
                pd.testing.assert_series_equal(a[key][name], b[key][name])
        else:
            pd.testing.assert_frame_equal(a[key], b[key])


CLOSE_FIX = ("600004.XSHG", "2024-01-16", "Close", 12.34)  # day 10
DIVIDEND = ("000001.XSHE", "2024-01-23", "rq_get_dividend", 0.25)  # day 15, none before


OPEN_FIX = ("600000.XSHG", "2024-01-18", "Open", 9.5)  # day 12: the forward ranks of days before it change
SPLIT = ("300001.XSHE", "2024-01-29", "split_coefficient_to", 2.0)  # day 19


@pytest.mark.parametrize("new_days, rows, first", [
    (False, [CLOSE_FIX, DIVIDEND], "2024-01-16"),
    (True, [CLOSE_FIX, DIVIDEND], "2024-01-16"),
    (False, [OPEN_FIX, SPLIT], "2024-01-18"),
], ids=["close and dividend", "with new days", "open and split"])
def test_corrected_past_values_are_rebuilt(tmp_path, capsys, new_days, rows, first):
    db = write_days(tmp_path / "m.duckdb", N_OLD)
    assert build_store(db, tmp_path / "store")["notes"] == []
    if new_days:
        write_days(db, 40)
    correct(db, tmp_path, rows)
    code, out, err = run_cli(capsys, "build", db, tmp_path / "store")
    assert code == 0, err
    assert f"2 past dates changed since the last build: rebuilt from {first}" in out.splitlines()
    assert "cannot be detected" not in err
    data = stored(tmp_path / "store")
    if rows[0] == CLOSE_FIX:
        assert data["close_price"].loc["20240116", "600004"] == 12.34
        assert data["prev_close"].loc["20240117", "600004"] == 12.34
        assert data["rq_get_dividend"].loc["20240123", "000001"] > 0  # stored as the builder derives it
    else:
        assert data["open_price"].loc["20240118", "600000"] == 9.5
        assert np.isfinite(data["rq_get_split"].loc["20240129", "300001"])  # an event, as derived
    assert len(data["close_price"]) == (40 if new_days else N_OLD)
    build_store(db, tmp_path / "full", full=True)
    assert_same_store(tmp_path / "store", tmp_path / "full")
    # The digests were renewed: the next build finds nothing to do.
    again = build_store(db, tmp_path / "store")
    assert again["mode"] == "up to date" and again["notes"] == []


def test_a_corrected_benchmark_bar_and_a_new_date_in_the_past_are_changes(tmp_path):
    db = write_days(tmp_path / "m.duckdb", N_OLD)
    build_store(db, tmp_path / "store")
    dates = close_matrix().index
    bars = index_bars(dates)
    bars = bars[bars["date"].isin(dates[:N_OLD])].copy()  # as stored, one bar changed, loaded again
    bars.loc[(bars["ukey"] == "000300.XSHG") & (bars["date"] == "2024-02-01"), "close"] *= 1.05
    path = tmp_path / "bars.csv"
    bars.to_csv(path, index=False)
    load_files(db, index_daily=path)
    summary = build_store(db, tmp_path / "store")
    # The bar's own day; the next day's return follows from it and is rebuilt with it.
    assert summary["notes"] == ["1 past dates changed since the last build: rebuilt from 2024-02-01"]
    build_store(db, tmp_path / "full", full=True)
    assert_same_store(tmp_path / "store", tmp_path / "full")


def test_a_stored_date_gone_from_the_database_is_named(tmp_path):
    import duckdb

    db = write_days(tmp_path / "m.duckdb", N_OLD)
    build_store(db, tmp_path / "store")
    con = duckdb.connect(str(db))
    for table in ("factor_values", "index_daily"):
        con.execute(f"DELETE FROM {table} WHERE date = DATE '2024-01-16'")
    con.close()
    summary = build_store(db, tmp_path / "store")
    assert summary["notes"] == ["1 past dates changed since the last build: rebuilt from 2024-01-16"]
    assert summary["problems"][-1] == (
        "1 stored date(s) have no rows in the database any more (first 2024-01-16); an incremental build "
        "keeps their rows: build with --full to drop them"
    )


def test_since_rebuilds_from_the_date_asked(tmp_path, capsys):
    db = write_days(tmp_path / "m.duckdb", N_OLD)
    build_store(db, tmp_path / "store")
    code, out, err = run_cli(capsys, "build", db, tmp_path / "store", "--since", "2024-02-05")
    assert code == 0, err
    assert "rebuilt from 2024-02-05 as asked" in out.splitlines() and "incremental" in out
    summary = build_store(db, tmp_path / "store", since="20000101")  # before the store: its first date
    assert summary["notes"] == ["rebuilt from 2024-01-02 as asked"] and summary["first_written"] == "20240102"
    # A correction after the date asked: counted, rebuilt from the earlier date.
    correct(db, tmp_path, [CLOSE_FIX])
    summary = build_store(db, tmp_path / "store", since="2024-01-10")
    assert summary["notes"] == ["1 past dates changed since the last build: rebuilt from 2024-01-10"]
    build_store(db, tmp_path / "full", full=True)
    assert_same_store(tmp_path / "store", tmp_path / "full")
    after = build_store(db, tmp_path / "store", since="20990101")  # after the store: nothing to rebuild
    assert after["mode"] == "up to date" and after["notes"] == []


@pytest.mark.parametrize("argv, message", [
    (["--since", "yesterday"], "--since must be a date"),
    (["--since", "20240110", "--full"], "full or since, not both"),
])
def test_since_mistakes_are_one_line_errors(tmp_path, capsys, argv, message):
    db = write_days(tmp_path / "m.duckdb", N_OLD)
    code, out, err = run_cli(capsys, "build", db, tmp_path / "store", *argv)
    assert code == 2 and message in err and "Traceback" not in err


class WithoutDigests(LocalDataClient):
    """A data service that answers the builder's queries but offers no digests."""

    date_digests = None


def test_a_store_without_digests_warns_until_its_next_full_build(tmp_path, capsys, monkeypatch):
    db = write_days(tmp_path / "m.duckdb", N_OLD)
    with monkeypatch.context() as patch:
        patch.setattr("tessary.build._open_client", WithoutDigests)
        summary = build_store(db, tmp_path / "store")
        assert "source_digests" not in BinaryPreparedDataStore(tmp_path / "store").load_metadata()["meta"]
        summary = build_store(db, tmp_path / "store")
        assert summary["problems"] == [
            "the data service offers no digests of its rows, so corrections to past dates cannot be detected; "
            "rebuild with --full (or --since DATE) to take them in"
        ]
    correct(db, tmp_path, [CLOSE_FIX])
    code, out, err = run_cli(capsys, "build", db, tmp_path / "store")
    assert code == 0 and "up to date" in out
    assert "warning: the store" in err and "keeps no digests of its source rows, so corrections to past dates " \
        "cannot be detected; build it once with --full to record them" in err
    assert stored(tmp_path / "store")["close_price"].loc["20240116", "600004"] != 12.34
    # --since takes a correction in by hand; the store still has no digests.
    summary = build_store(db, tmp_path / "store", since="20240116")
    assert stored(tmp_path / "store")["close_price"].loc["20240116", "600004"] == 12.34
    assert "keeps no digests" in summary["problems"][-1]
    # The full build records them: the next correction is found.
    build_store(db, tmp_path / "store", full=True)
    correct(db, tmp_path, [DIVIDEND])
    summary = build_store(db, tmp_path / "store")
    assert summary["problems"] == [] and summary["notes"] == [
        "1 past dates changed since the last build: rebuilt from 2024-01-23"
    ]


def test_digests_ignore_row_order_and_see_every_kind_of_change(tmp_path):
    close = close_matrix(n_days=5)
    factors = factors_of(close)
    bars = index_bars(close.index)
    one = LocalDataClient(write_database(tmp_path / "a.duckdb", factors, bars))
    shuffled = {name: frame.iloc[::-1, ::-1] for name, frame in reversed(list(factors.items()))}
    other = LocalDataClient(write_database(tmp_path / "b.duckdb", shuffled, bars.iloc[::-1]))
    names, codes = list(factors), ["000300.XSHG"]
    digests = one.date_digests(names, codes)
    assert list(digests) == [d.strftime("%Y%m%d") for d in close.index]
    assert other.date_digests(names, codes) == digests
    # A value changed, a row removed, a row doubled: each changes its date's digest only.
    for change in ("value", "removed", "doubled"):
        changed = {name: frame.copy() for name, frame in factors.items()}
        if change == "value":
            changed["Open"].iloc[2, 1] += 0.01
        elif change == "removed":
            changed["limit_up"].iloc[2, 1] = np.nan
        path = write_database(tmp_path / f"{change}.duckdb", changed, bars)
        if change == "doubled":
            import duckdb

            con = duckdb.connect(str(path))
            con.execute("INSERT INTO factor_values SELECT * FROM factor_values WHERE factor = 'Close' LIMIT 1")
            con.close()
            day = close.index[0].strftime("%Y%m%d")
        else:
            day = close.index[2].strftime("%Y%m%d")
        new = LocalDataClient(path).date_digests(names, codes)
        assert [d for d in digests if digests[d] != new[d]] == [day], change


def test_compact_reclaims_the_space_of_the_updates(tmp_path, capsys):
    db = write_days(tmp_path / "m.duckdb", N_OLD)
    build_store(db, tmp_path / "store")
    for since in ("20240207", "20240209"):  # each a new extent past the first one
        build_store(db, tmp_path / "store", since=since)
    before = stored(tmp_path / "store")
    code, out, err = run_cli(capsys, "compact", tmp_path / "store")
    assert code == 0, err
    assert "dataset(s) rewritten in one extent" in out and "reclaimed" in out and " 0 bytes reclaimed" not in out
    after = stored(tmp_path / "store")
    for key in before:
        if key != "benchmark_dict":
            pd.testing.assert_frame_equal(before[key], after[key])
    code, out, err = run_cli(capsys, "compact", tmp_path / "store")
    assert code == 0 and "0 dataset(s) rewritten" in out and "0 bytes reclaimed" in out
    assert run_cli(capsys, "verify", tmp_path / "store")[0] == 0
    code, out, err = run_cli(capsys, "compact", tmp_path / "nowhere")
    assert code == 2 and "store not found" in err
