"""Honest data end to end: a user's own files through load_files and build, the data
report with its warnings, and the English hint beside the builder's messages."""

import re
import warnings

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import BinaryPreparedDataStore, TessaryWarning, run_backtest
from tessary.cli import main
from tessary.local import load_files
from tessary.report import builder_error_hint, data_report
from tessary.synthetic import generate_market


@pytest.fixture(scope="module")
def market():
    return generate_market(n_stocks=20, years=0.3, seed=8)


def own_files(market, tmp_path, factors=None, index=None):
    """The market as a user's long-form files: one parquet per factor, one index CSV."""
    paths = []
    for name, matrix in (factors or market.factors).items():
        frame = matrix.rename_axis(index="date", columns="ukey").reset_index().melt(id_vars="date", var_name="ukey")
        frame = frame.dropna(subset=["value"])
        path = tmp_path / f"{name}.parquet"
        frame.assign(factor=name)[["ukey", "date", "factor", "value"]].to_parquet(path)
        paths.append(path)
    bars = market.index_daily if index is None else index
    index_path = tmp_path / "index.csv"
    bars.to_csv(index_path, index=False)
    return load_files(tmp_path / "own.duckdb", factors=paths, index_daily=index_path) and tmp_path / "own.duckdb"


def build(capsys, db, store):
    code = main(["build", str(db), str(store)])
    out, err = capsys.readouterr()
    return code, out, err


def weights_of(store):
    close = BinaryPreparedDataStore(store).load(keys=["close_price"])["data"]["close_price"]
    return pd.DataFrame(0.1, index=close.index[2:40], columns=close.columns[:10])


class TestOwnFilesThroughBuild:
    def test_index_bars_with_close_only_give_benchmarks(self, market, tmp_path, capsys):
        db = own_files(market, tmp_path, index=market.index_daily.drop(columns="daily_return"))
        code, out, err = build(capsys, db, tmp_path / "store")
        assert code == 0, err
        days = len(market.dates)
        for name in ("000852", "000300", "000905"):
            assert f"benchmark {name}: {days - 1} valid day(s)" in out  # the first day has no previous close
        assert "warning" not in err
        stored = BinaryPreparedDataStore(tmp_path / "store").load_benchmark_dict()["000300"]
        bars = market.index_daily[market.index_daily["ukey"] == "000300.XSHG"]
        np.testing.assert_allclose(stored.to_numpy(), bars["daily_return"].to_numpy()[1:], rtol=1e-9)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            result = run_backtest(weights_of(tmp_path / "store"), tmp_path / "store")
        assert result.stats["benchmark_annual_return"] != 0

    def test_a_suspension_flag_that_blocks_everything_is_reported(self, market, tmp_path, capsys):
        factors = dict(market.factors)
        factors["rq_is_suspended"] = 1.0 - factors["rq_is_suspended"]
        db = own_files(market, tmp_path, factors=factors)
        code, out, err = build(capsys, db, tmp_path / "store")
        assert code == 0, err
        assert re.search(r"stock-days that can be bought: [0-9].[0-9]%", out), out
        warned = [line for line in err.splitlines() if "warning:" in line]
        assert len(warned) == 1 and "almost nothing can be bought" in warned[0]
        assert "1 means the stock trades" in warned[0]
        with pytest.warns(TessaryWarning, match="rq_is_suspended"):
            run_backtest(weights_of(tmp_path / "store"), tmp_path / "store")

    def test_missing_index_bars_name_the_cause_in_english(self, market, tmp_path, capsys):
        other = market.index_daily.assign(ukey="399001.XSHE")
        db = own_files(market, tmp_path, index=other)
        code, out, err = build(capsys, db, tmp_path / "store")
        last = err.strip().splitlines()[-1]
        assert code == 2 and last.startswith("tessary-backtest: error: ")
        assert "基准日频数据为空" in last and "load_files(DATABASE, index_daily=FILE)" in last


class TestDataReport:
    def test_shares_days_and_warnings(self):
        days = ["20240102", "20240103"]
        close = pd.DataFrame([[1.0, np.nan], [1.1, 2.0]], index=days, columns=["600000", "000001"])
        data = {
            "close_price": close,
            "buy_price": close * np.nan,
            "can_buy_stock": pd.DataFrame([[True, False], [True, True]], index=days, columns=close.columns),
            "rq_get_split": close * np.nan,  # events: empty is normal
        }
        lines, problems = data_report(data, {"000852": pd.Series([0.01, 0.02]), "000300": pd.Series([np.nan])})
        text = "\n".join(lines)
        assert "close_price" in text and " 75.0% valid" in text and " 75.0% True" in text
        assert "benchmark 000852: 2 valid day(s)" in text and "benchmark 000300: 0 valid day(s)" in text
        assert "stock-days that can be bought: 100.0% of 3 with a close" in text
        assert len(problems) == 2
        assert "buy_price holds no value" in problems[0] and "tick_vwap_price_935_1005" in problems[0]
        assert "000300 has no valid day" in problems[1] and "000300.XSHG" in problems[1]

    def test_hints_only_for_the_builders_messages(self):
        assert "constituent" in builder_error_hint("成分股矩阵缺失，无法精确生成二进制缓存: ['x']")
        assert "neither a daily_return nor a close" in builder_error_hint("000852 基准缺少 daily_return/close 列")
        assert builder_error_hint("something else entirely") is None
