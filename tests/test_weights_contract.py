"""One meaning of weights at every door: run_backtest, the sweep and the command line
take the same forms, carry rebalance-date weights the same way and refuse the same
input, on a small hand-made market."""

import datetime as dt
import decimal
import warnings

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import BinaryPreparedDataStore, TessaryWarning, run_backtest
from tessary.backtest import _weights
from tessary.cli import main
from tessary.sweep import run_sweep

from handmade import market_store


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    return market_store(tmp_path_factory.mktemp("contract"))[1]


def top_closes(market, step=1, as_datetime=False, count=3):
    """Equal weights on the ``count`` stocks of highest close, every ``step``-th date
    (from the fifth), dates as "YYYYMMDD" strings or a DatetimeIndex."""
    close = market["close_price"]
    rows = close.iloc[4::step]
    ranks = rows.rank(axis=1, ascending=False)
    weights = (ranks <= count).astype(float) / count
    if as_datetime:
        weights.index = pd.to_datetime(weights.index, format="%Y%m%d")
    return weights


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


class TestSweepEqualsRunBacktest:
    @pytest.mark.parametrize("window, between", [(0, "resize"), (3, "resize"), (0, "hold")])
    def test_statistics_equal_to_the_bit(self, store, window, between):
        grid = {"step": [1, 5], "as_datetime": [False, True], "rolling_window": [window]}
        result = run_sweep(store, top_closes, grid, workers=1, progress=False, between=between)
        market = BinaryPreparedDataStore(store).load(mmap=False)["data"]
        assert result.table["error"].isna().all(), result.table["error"].tolist()
        for number, row in result.table.iterrows():
            weights = top_closes(market, step=row["step"], as_datetime=row["as_datetime"])
            direct = run_backtest(weights, store, rolling_window=window, between=between)
            stats = [direct.stats[key] for key in _weights_stat_keys()]
            assert same_bits(row[_weights_stat_keys()].to_numpy(dtype=float), stats), number
            returns = result.daily_returns[number].dropna()
            assert same_bits(returns.to_numpy(), direct.daily_return.to_numpy())
        # weekly weights are carried: the same backtest length as the daily ones
        lengths = result.daily_returns.notna().sum()
        assert lengths.nunique() == 1 or result.table.loc[lengths.idxmin(), "step"] == 5

    def test_rebalance_dates_are_carried_not_run_back_to_back(self, store):
        result = run_sweep(store, top_closes, {"step": [5]}, workers=1, progress=False)
        market = BinaryPreparedDataStore(store).load(mmap=False)["data"]
        weekly = top_closes(market, step=5)
        days = market["close_price"].index
        span = days[(days >= weekly.index[0]) & (days <= weekly.index[-1])]
        assert len(result.daily_returns[0]) == len(span) - 1


def _weights_stat_keys():
    from tessary.sweep._tasks import STAT_KEYS

    return list(STAT_KEYS)


def market_of(store):
    return BinaryPreparedDataStore(store).load(mmap=False)["data"]


def bad_weights(kind, market):
    weights = top_closes(market)
    column = weights.columns[0]
    if kind == "bool":
        return weights.astype(bool)
    if kind == "datetime":
        weights[column] = pd.Timestamp("2024-01-02")
    elif kind == "timedelta":
        weights[column] = pd.Timedelta(days=1)
    elif kind == "complex":
        weights[column] = weights[column] + 1j
    elif kind == "text":
        weights[column] = weights[column].astype(str)
    elif kind == "infinite":
        weights.iloc[2, 0] = np.inf
    elif kind == "wrong exchange":
        weights = weights.rename(columns={"600000": "600000.XSHE"})
    return weights


BAD = [
    ("bool", "do not hold real numbers"),
    ("datetime", "do not hold real numbers"),
    ("timedelta", "do not hold real numbers"),
    ("complex", "do not hold real numbers"),
    ("text", "do not hold real numbers"),
    ("infinite", "infinite"),
    ("wrong exchange", "wrong exchange: '600000.XSHE (600000 is listed in Shanghai, not Shenzhen)'"),
]


class TestTheSameRefusals:
    @pytest.mark.parametrize("kind,match", BAD)
    def test_run_backtest_and_the_sweep_refuse_alike(self, store, kind, match):
        market = market_of(store)
        with pytest.raises(ValueError, match=match.replace("(", r"\(").replace(")", r"\)")):
            run_backtest(bad_weights(kind, market), store)
        table = run_sweep(store, lambda m, kind: bad_weights(kind, m), {"kind": [kind]}, workers=1,
                          progress=False).table
        assert table.loc[0, "error"].startswith("ValueError") and match in table.loc[0, "error"]

    def test_numeric_object_and_nullable_columns_are_weights(self, store):
        market = market_of(store)
        weights = top_closes(market)
        weights.iloc[0, 2] = np.nan
        expected = run_backtest(weights, store).stats
        mixed = weights.astype(object)
        mixed[weights.columns[1]] = weights[weights.columns[1]].astype("Float64")
        mixed.iloc[0, 2] = None
        mixed[weights.columns[2]] = [None if pd.isna(v) else decimal.Decimal(repr(v)) for v in mixed[weights.columns[2]]]
        mixed[weights.columns[3]] = np.zeros(len(weights), dtype=np.int64)  # an integer column
        expected_int = weights.copy()
        expected_int[weights.columns[3]] = 0.0
        got = run_backtest(mixed, store, benchmark=None).stats
        want = run_backtest(expected_int, store, benchmark=None).stats
        assert same_bits(list(got.values()), list(want.values()))
        assert expected.keys() == got.keys()

    def test_the_command_line_refuses_a_parquet_of_booleans_and_a_wrong_exchange(self, store, tmp_path, capsys):
        market = market_of(store)
        flags = top_closes(market).astype(bool)
        flags.index.name = "date"
        flags.reset_index().to_parquet(tmp_path / "flags.parquet")
        assert main(["run", str(tmp_path / "flags.parquet"), str(store)]) == 2
        assert "do not hold real numbers" in capsys.readouterr().err
        wrong = top_closes(market).rename(columns={"000001": "000001.XSHG"})
        wrong.index.name = "date"
        wrong.reset_index().to_csv(tmp_path / "wrong.csv", index=False)
        assert main(["run", str(tmp_path / "wrong.csv"), str(store)]) == 2
        assert "wrong exchange" in capsys.readouterr().err


class TestLabels:
    @pytest.mark.parametrize("label,code", [
        ("600000.XSHG", "600000"), ("sh600000", "600000"), ("000001.SZ", "000001"), (430047, "430047"),
        ("BJ430047", "430047"), ("510300.XSHG", "510300"),
    ])
    def test_codes_that_agree_with_their_exchange(self, label, code):
        assert list(_weights.normalize_codes(pd.Index([label]))) == [code]

    @pytest.mark.parametrize("label", ["600000.XSHE", "SZ600000", "000001.XSHG", "300750.SH", "430047.SZ"])
    def test_codes_that_contradict_their_exchange(self, label):
        assert _weights.exchange_conflict(label)
        with pytest.raises(ValueError, match="wrong exchange"):
            _weights.normalize_codes(pd.Index([label]))

    def test_date_forms_give_one_index(self):
        forms = [pd.DatetimeIndex(["2024-01-02", "2024-01-03"]), pd.Index(["20240102", "2024-01-03"]),
                 pd.Index([20240102, 20240103]), pd.Index([dt.date(2024, 1, 2), dt.date(2024, 1, 3)])]
        for index in forms:
            assert list(_weights.normalize_dates(index)) == ["20240102", "20240103"]
