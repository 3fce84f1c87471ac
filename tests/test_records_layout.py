"""The long-form layout of the records, the engine's argument and array checks,
the parquet files and the one-line summary."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _core, _pnl_engine as pe, _records
from tessary.backtest._market_frames import MARKET_FRAMES
from tessary.backtest.records import (RECORD_TABLES, compute_records, records_from_inputs, summary_line,
                                      trading_summary, write_records)
from test_records_sums import SCALARS, random_market

COLUMNS = {
    "trades": ["date", "code", "side", "shares", "price", "value", "commission", "levy"],
    "blocked": ["date", "code", "side", "shares", "reason"],
    "positions": ["date", "code", "shares", "value", "after_last_close"],
    "pnl": ["date", "code", "buy", "hold", "hold_dividend", "sell", "sell_dividend", "total"],
    "daily": ["date", "bought_value", "sold_value", "commission", "levy", "held", "turnover", "pnl", "daily_return"],
}
MARKET_KEYS = list(MARKET_FRAMES)


class TestLongForm:
    def test_columns_dates_codes_and_order(self):
        # Integer stock labels out of code order: codes come out as six digits, and
        # every table sorted by date, then code.
        market = random_market(3, days=30, stocks=0, codes=[600519, 1, 300750, 2, 688981, 601318] * 12)
        market = {k: v.loc[:, ~v.columns.duplicated()] for k, v in market.items()}
        rec = compute_records(**market, **SCALARS)
        for name, frame in rec.frames().items():
            assert list(frame.columns) == COLUMNS[name], name
            assert isinstance(pd.DatetimeIndex(frame["date"]), pd.DatetimeIndex)
            assert frame["date"].dtype.kind == "M"
            assert frame.index.equals(pd.RangeIndex(len(frame)))
        assert rec.daily["date"].tolist() == list(pd.to_datetime(market["close_price"].index[1:], format="%Y%m%d"))
        for name in ("trades", "blocked", "positions", "pnl"):
            frame = rec.frames()[name]
            assert len(frame), name
            assert frame["code"].map(lambda c: len(c) == 6 and c.isdigit()).all(), name
            keys = list(zip(frame["date"], frame["code"]))
            assert keys == sorted(keys), name
            if name != "trades":
                assert len(set(keys)) == len(keys), name
        assert set(rec.trades["side"]) <= {"buy", "sell"}
        assert set(zip(rec.blocked["side"], rec.blocked["reason"])) <= {("buy", "cannot buy"), ("sell", "cannot sell")}

    def test_fewer_than_two_dates_give_empty_tables(self):
        market = random_market(1, days=1, stocks=5)
        rec = compute_records(**market)
        for name, frame in rec.frames().items():
            assert list(frame.columns) == COLUMNS[name] and frame.empty, name
        assert trading_summary(rec)["blocked_trades"] == 0
        assert summary_line(rec).startswith("traded turnover (one-sided, daily mean): --;")

    def test_records_from_inputs_takes_the_pipeline_arguments_and_ignores_the_rest(self):
        market = random_market(2, days=20, stocks=30)
        inputs = dict(market, benchmark_dict={}, plot_save_path="x.png", strategy_name="s", rolling_window=3,
                      **SCALARS)
        got = records_from_inputs(inputs)
        want = compute_records(**market, rolling_window=3, **SCALARS)
        for name in RECORD_TABLES:
            pd.testing.assert_frame_equal(got.frames()[name], want.frames()[name])
        assert not any(k not in inputs for k in market)  # the caller's dict is not changed
        assert len(inputs) == len(market) + 7


class TestBadInput:
    def test_scalar_checks_and_messages_are_the_engines(self):
        market = random_market(4, days=5, stocks=3)
        with pytest.raises(TypeError, match=r"Argument 'rolling_window' has incorrect type \(expected int, got str\)"):
            compute_records(**market, rolling_window="3")
        for kwargs in ({"total_money": "1e8"}, {"fee": None}, {"lot_size": "200"}):
            with pytest.raises(TypeError) as engine_error:
                pe.calc_strategy_vwap_daily_return(market["strategy_matrix"], *[market[k] for k in MARKET_KEYS],
                                                   **kwargs)
            with pytest.raises(TypeError) as records_error:
                _records.calc_strategy_vwap_records(market["strategy_matrix"], *[market[k] for k in MARKET_KEYS],
                                                    **kwargs)
            assert str(records_error.value).replace("calc_strategy_vwap_records", "") == \
                str(engine_error.value).replace("calc_strategy_vwap_daily_return", ""), kwargs

    @pytest.mark.parametrize("key, bad", [
        ("close_arr", lambda a: a.astype(np.float32)),
        ("can_buy_arr", lambda a: a.astype(np.int8)),
        ("split_arr", lambda a: a[:-1]),
        ("dividend_arr", lambda a: a.ravel()),
        ("prev_close_arr", lambda a: list(a)),
    ])
    def test_market_arrays_are_checked_with_the_engines_messages(self, monkeypatch, key, bad):
        market = random_market(5, days=6, stocks=4)
        real = _core._build_market_arrays

        def broken(*args):
            arrays = dict(real(*args))
            arrays[key] = bad(arrays[key])
            return arrays

        monkeypatch.setattr(_core, "_build_market_arrays", broken)
        monkeypatch.setattr(pe, "_build_market_arrays", broken)
        with pytest.raises((TypeError, ValueError)) as engine_error:
            pe.calc_strategy_vwap_daily_return(market["strategy_matrix"], *[market[k] for k in MARKET_KEYS])
        with pytest.raises(engine_error.type) as records_error:
            compute_records(**market)
        assert str(records_error.value) == str(engine_error.value)

    def test_misaligned_or_duplicate_labels_fail_as_in_the_engine(self):
        market = random_market(6, days=10, stocks=5)
        short = dict(market, close_price=market["close_price"].iloc[:5, :3])
        # Duplicate dates in the market frames only: the weights' own are refused
        # before the engine runs (see test_checks.py).
        doubled = {k: v if k == "strategy_matrix" else pd.concat([v, v.iloc[-1:]]) for k, v in market.items()}
        for bad in (short, doubled):
            with pytest.raises(ValueError) as engine_error:
                pe.calc_strategy_vwap_daily_return(bad["strategy_matrix"], *[bad[k] for k in MARKET_KEYS])
            with pytest.raises(ValueError) as records_error:
                compute_records(**bad)
            assert str(records_error.value) == str(engine_error.value)


class TestOutput:
    def test_parquet_files_round_trip_and_leave_nothing_else(self, tmp_path):
        rec = compute_records(**random_market(8, days=25, stocks=40), **SCALARS)
        paths = write_records(rec, tmp_path / "out" / "records")
        assert list(paths) == list(RECORD_TABLES)
        assert sorted(p.name for p in (tmp_path / "out" / "records").iterdir()) == sorted(
            f"{name}.parquet" for name in RECORD_TABLES)
        for name, path in paths.items():
            pd.testing.assert_frame_equal(pd.read_parquet(path), rec.frames()[name], check_dtype=False)

    def test_a_failed_write_keeps_the_previous_file(self, tmp_path, monkeypatch):
        rec = compute_records(**random_market(9, days=10, stocks=10), **SCALARS)
        write_records(rec, tmp_path)
        before = (tmp_path / "trades.parquet").read_bytes()

        def failing(self, path, **kwargs):
            with open(path, "wb") as fh:
                fh.write(b"partial")
            raise OSError("disk full")

        monkeypatch.setattr(pd.DataFrame, "to_parquet", failing)
        with pytest.raises(OSError, match="disk full"):
            write_records(rec, tmp_path)
        assert (tmp_path / "trades.parquet").read_bytes() == before
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"{n}.parquet" for n in RECORD_TABLES)

    def test_summary_figures(self):
        rec = compute_records(**random_market(10), **SCALARS)
        summary = trading_summary(rec)
        daily = rec.daily
        expected = ((daily["bought_value"] + daily["sold_value"]) / 2 / SCALARS["total_money"]).mean() * 100
        assert summary["traded_turnover"] == pytest.approx(expected, rel=1e-12)
        assert summary["blocked_trades"] == len(rec.blocked) > 0
        buys = int((rec.blocked["side"] == "buy").sum())
        assert summary_line(rec) == (f"traded turnover (one-sided, daily mean): {expected:.2f} %; blocked trades: "
                                     f"{len(rec.blocked)} (buys: {buys}, sells: {len(rec.blocked) - buys})")


# Run in a process of its own: the pass keeps the memory of freed record tables for
# the next one, so in this one earlier tests would hide what a pass takes.
MEMORY_SCRIPT = """
import os, sys
import numpy as np, pandas as pd
from tessary.backtest import _records

def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

days, stocks, order = 1500, 2000, sys.argv[1]
rng = np.random.default_rng(0)
index = pd.Index(pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d"))
columns = pd.Index([f"{i:06d}" for i in range(stocks)])
frame = lambda a: pd.DataFrame(np.array(a, order=order), index=index, columns=columns, copy=False)
weights = np.zeros((days, stocks))
weights[:, :5] = 0.01
prev = rng.uniform(5, 50, (days, stocks))
market = [frame(weights), frame(rng.random((days, stocks)) > 0.02), frame(rng.random((days, stocks)) < 0.02),
          frame(np.full((days, stocks), np.nan)), frame(np.full((days, stocks), np.nan)), frame(prev * 1.01),
          frame(prev), frame(prev * 1.001), frame(prev * 0.999)]
before = rss()
rec = _records.calc_strategy_vwap_records(*market)
print(rss() - before, sum(len(rec[t]["day"]) for t in ("trades", "blocked", "positions", "pnl")))
"""


@pytest.mark.parametrize("order", ["F", "C"])
def test_memory_follows_the_records_not_the_market(order):
    # 3M cells, five stocks held:
    # about 20,000 records. What the pass leaves behind (the records, any memory it
    # keeps) must be far below one float matrix of the market (24 MB).
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, order], capture_output=True, text=True, check=True)
    grown, records = map(int, out.stdout.split())
    assert 10_000 < records < 40_000
    assert grown < 8 * 2**20, f"{grown / 2**20:.1f} MiB for {records} records"


# Run in a process of its own, which pins itself to one core.
AFFINITY_SCRIPT = """
import os
import numpy as np, pandas as pd
from tessary.backtest import _records

def market(days, stocks):
    rng = np.random.default_rng(1)
    index = pd.Index(pd.bdate_range("2015-01-05", periods=days).strftime("%Y%m%d"))
    columns = pd.Index([f"{i:06d}" for i in range(stocks)])
    frame = lambda a: pd.DataFrame(a, index=index, columns=columns)
    shape = (days, stocks)
    prev = rng.uniform(5, 50, shape)
    return [frame(np.where(rng.random(shape) < 0.05, 0.001, 0.0)), frame(rng.random(shape) > 0.02),
            frame(rng.random(shape) < 0.02), frame(np.full(shape, np.nan)), frame(np.full(shape, np.nan)),
            frame(prev * 1.01), frame(prev), frame(prev * 1.001), frame(prev * 0.999)]

large, small = market(501, 2100), market(10, 10)  # 1.05M cells, 100 cells
free = _records.calc_strategy_vwap_records(*large)
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
pinned = _records.calc_strategy_vwap_records(*large)
same = all(np.array_equal(free[t][c], pinned[t][c], equal_nan=True)
           for t in ("trades", "blocked", "positions", "pnl", "daily") for c in free[t])
print(free["threads"], pinned["threads"], _records.calc_strategy_vwap_records(*small)["threads"], same)
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no processor affinity on this system")
def test_a_process_pinned_to_one_core_records_on_one_thread():
    # The pass is bound by the memory's speed, which a second thread would share: it
    # records on one thread, but on two a large column-major market where the
    # processor lacks AVX-512 (its walk must sort its records) if the process may run
    # on two cores. A second thread on a process held to one core would only take
    # turns with the first. The records are the same either way.
    out = subprocess.run([sys.executable, "-c", AFFINITY_SCRIPT], capture_output=True, text=True, check=True)
    free, pinned, small, same = out.stdout.split()
    assert free in (("1", "2") if len(os.sched_getaffinity(0)) >= 2 else ("1",))
    assert (pinned, small, same) == ("1", "1", "True")
