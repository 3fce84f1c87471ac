"""The front door run_backtest: equal to the engine on aligned frames, the forms in
which researchers hold weights, rebalance-date carrying, errors and warnings."""

import json
import warnings

import numpy as np
import pandas as pd
import pytest

from tessary import singleton
from tessary.backtest import BacktestResult, BinaryPreparedDataStore, TessaryWarning, run_backtest
from tessary.backtest._market_frames import MARKET_FRAMES
from tessary.backtest._pnl_engine import run_strategy_backtest_core
from tessary.backtest._prepare import GroupPreparedDataBuilder
from tessary.local import LocalDataClient
from tessary.synthetic import generate_market

DATASETS = {
    "can_buy_stock": "can_buy_stock", "cant_sell_stock": "cant_sell_stock", "split_factor": "rq_get_split",
    "dividend_factor": "rq_get_dividend", "close_price": "close_price", "prev_close": "prev_close",
    "buy_price": "buy_price", "sell_price": "sell_price",
}


def build_store(database, store_dir):
    previous = singleton.set_instance(LocalDataClient(database))
    try:
        client = singleton.get_instance()
        first, last = client.date_range()
        payload = GroupPreparedDataBuilder(first, last).build()
    finally:
        singleton.set_instance(previous)
    store = BinaryPreparedDataStore(store_dir)
    store.write_payload(payload)
    return store


def synthetic_store(tmp_path_factory, name, n_stocks, seed):
    """A store built from half a year of a synthetic market of n_stocks stocks."""
    tmp = tmp_path_factory.mktemp(name)
    market = generate_market(n_stocks=n_stocks, years=0.5, seed=seed)
    return build_store(market.to_duckdb(tmp / "m.duckdb"), tmp / "store")


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    return synthetic_store(tmp_path_factory, "api", n_stocks=40, seed=2)


def momentum_like(close, rows=slice(5, 90), n=12, seed=0):
    """Random long-only weights over n stocks on a run of the store's days."""
    rng = np.random.default_rng(seed)
    index = close.index[rows]
    values = rng.random((len(index), n))
    values[values < 0.3] = 0.0
    values /= values.sum(axis=1, keepdims=True)
    return pd.DataFrame(values, index=index, columns=close.columns[:n])


def engine_on(store, weights, **kw):
    """run_strategy_backtest_core on frames aligned by hand to the weights' labels."""
    data = store.load(start_date=weights.index[0], end_date=weights.index[-1], mmap=False)["data"]
    frames = {}
    for param, key in DATASETS.items():
        fill = {"can_buy_stock": False, "cant_sell_stock": True}.get(param, np.nan)
        frames[param] = data[key].reindex(index=weights.index, columns=weights.columns, fill_value=fill)
    bench = store.load_benchmark_dict(start_date=weights.index[0], end_date=weights.index[-1])
    return run_strategy_backtest_core(weights, **frames, benchmark_dict=bench, **kw)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


class TestAgreesWithTheEngine:
    @pytest.mark.parametrize("window", [0, 4])
    def test_bit_for_bit_on_the_same_aligned_frames(self, store, close, window):
        weights = momentum_like(close)
        got = run_backtest(weights, store, benchmark="000300", rolling_window=window, fee=0.0003)
        want = engine_on(store, weights, benchmark_names="000300", rolling_window=window, fee=0.0003)
        assert isinstance(got, BacktestResult)
        assert same_bits(got.daily_return, want.daily_return)
        assert same_bits(got.net_value, want.cumulative_return)
        assert list(got.daily_return.index.strftime("%Y%m%d")) == list(want.daily_return.index)
        assert got.daily_return.name == "daily_return" and got.net_value.name == "net_value"
        assert isinstance(got.daily_return.index, pd.DatetimeIndex)
        assert got.stats.keys() == want.stats.keys()
        assert all(same_bits([got.stats[k]], [want.stats[k]]) for k in want.stats)
        pd.testing.assert_frame_equal(got.benchmark_summary, want.benchmark_summary)
        assert got.carried_days == 0 and got.warnings == [] and got.plot_paths == {}

    def test_without_a_benchmark(self, store, close):
        weights = momentum_like(close, seed=4)
        got = run_backtest(weights, store, benchmark=None)
        want = run_strategy_backtest_core(**got._engine_inputs, benchmark_dict=None)
        assert got.benchmark_summary.empty and got.to_dict()["benchmark_summary"] == []
        assert all(same_bits([got.stats[k]], [want.stats[k]]) for k in want.stats)
        assert got.stats["benchmark_annual_return"] == 0

    def test_engine_inputs_are_the_arguments_the_engine_got(self, store, close):
        weights = momentum_like(close, seed=1)
        got = run_backtest(weights, store, rolling_window=10**9, total_money=5e6)
        inputs = got._engine_inputs
        assert set(inputs) == {"strategy_matrix", *DATASETS, "rolling_window", "total_money", "fee", "rule_fee"}
        assert inputs["rolling_window"] == len(weights)  # an enormous window is the whole backtest
        again = run_strategy_backtest_core(**inputs)
        assert same_bits(got.daily_return, again.daily_return)
        pd.testing.assert_frame_equal(got.weights, weights, check_index_type=False, check_column_type=False)


class TestWeightsAsResearchersHoldThem:
    def test_date_and_code_forms_give_the_same_backtest(self, store, close):
        weights = momentum_like(close, seed=3)
        base = run_backtest(weights, store)
        suffix = {"6": (".XSHG", ".SH"), "0": (".XSHE", ".SZ"), "3": (".XSHE", ".SZ")}
        forms = [
            (pd.DatetimeIndex(pd.to_datetime(weights.index, format="%Y%m%d")),
             [c + suffix[c[0]][0] for c in weights.columns]),
            (pd.Index([f"{d[:4]}-{d[4:6]}-{d[6:]}" for d in weights.index]),
             [c + suffix[c[0]][1].lower() for c in weights.columns]),
            (pd.Index([int(d) for d in weights.index]),
             [("SH" if c[0] == "6" else "SZ") + c for c in weights.columns]),
            (pd.Index([pd.Timestamp(d).date() for d in weights.index]), [int(c) for c in weights.columns]),
        ]
        for index, columns in forms:
            other = pd.DataFrame(weights.to_numpy(), index=index, columns=columns)
            got = run_backtest(other.iloc[::-1], store)  # order of the rows does not matter either
            assert same_bits(got.daily_return, base.daily_return), (index[:2], columns[:2])
            assert got.stats == base.stats

    def test_rebalance_dates_are_carried_to_the_next_given_date(self, store, close):
        days = list(close.index[20:30])
        a, b = close.columns[0], close.columns[1]
        given = pd.DataFrame(
            {a: [0.6, np.nan, 0.0], b: [0.4, 0.5, 1.0]},
            index=pd.to_datetime([days[0], days[4], days[7]], format="%Y%m%d"),
        )
        # by hand: each trading day holds the whole row of the last given date
        expected = pd.DataFrame(
            {a: [0.6] * 4 + [np.nan] * 3 + [0.0] * 3, b: [0.4] * 4 + [0.5] * 3 + [1.0] * 3},
            index=days,
        )
        got = run_backtest(given, store, end_date=days[-1])
        pd.testing.assert_frame_equal(got.weights, expected, check_index_type=False, check_column_type=False)
        assert (got.given_dates, got.carried_days) == (3, 7)
        assert got.to_dict()["weight_dates"] == {"given": 3, "trading_days": 10, "carried": 7}
        want = engine_on(store, expected)
        assert same_bits(got.daily_return, want.daily_return)
        # without end_date the backtest ends on the last given date
        assert got.weights.index[-1] == days[-1]
        assert run_backtest(given, store).weights.index[-1] == days[7]
        # a start between two rebalances begins with the weights of the one before it
        late = run_backtest(given, store, start_date=days[5], end_date=days[-1])
        pd.testing.assert_frame_equal(late.weights, expected.iloc[5:], check_index_type=False, check_column_type=False)
        # given dates outside the chosen range do not matter, even those the store lacks
        wider = pd.concat([given, pd.DataFrame({a: [1.0], b: [0.0]}, index=pd.to_datetime(["2031-01-06"]))])
        wider.loc[pd.Timestamp("2020-12-31")] = [0.5, 0.5]
        ranged = run_backtest(wider, store, start_date=days[5], end_date=days[-1])
        assert same_bits(ranged.daily_return, late.daily_return)

    def test_dates_and_codes_not_in_the_store_are_errors(self, store, close):
        weights = momentum_like(close, rows=slice(5, 15), n=3)
        weekend = weights.rename(index={weights.index[2]: "20210102", weights.index[3]: "20210103"})
        with pytest.raises(ValueError, match=r"2 date\(s\) of the weights are not trading days.*'20210102', '20210103'"):
            run_backtest(weekend, store)
        foreign = weights.rename(columns={weights.columns[0]: "999999.XSHG"})
        with pytest.raises(ValueError, match=r"1 stock\(s\) of the weights are not in the store.*'999999'"):
            run_backtest(foreign, store)

    @pytest.mark.parametrize(
        "change, match",
        [
            (lambda w: w.rename(index={w.index[0]: "yesterday"}), r"1 label\(s\) of the weights' index are not dates \('yesterday'\)"),
            (lambda w: w.rename(columns={w.columns[0]: "apple"}), r"1 column\(s\) of the weights are not stock codes \('apple'\)"),
            (lambda w: w.set_axis([w.columns[1] + (".XSHG" if w.columns[1][0] == "6" else ".XSHE"), *w.columns[1:]],
                                  axis=1), r"named by more than one column"),
            (lambda w: w.set_axis([w.index[1], *w.index[1:]]), r"1 date\(s\) occur more than once"),
            (lambda w: w.replace(w.iloc[2, 1], np.inf), r"1 weight\(s\) are infinite"),
            (lambda w: w.astype(object).where(w != w.iloc[2, 1], "lots"), r"do not hold real numbers"),
            (lambda w: w.iloc[:, :0], r"no stock columns"),
            (lambda w: w.iloc[:1], r"at least two trading days"),
        ],
    )
    def test_malformed_weights_are_clear_errors(self, store, close, change, match):
        weights = momentum_like(close, rows=slice(5, 15), n=3)
        with pytest.raises(ValueError, match=match):
            run_backtest(change(weights), store)

    def test_bad_arguments(self, store, close, tmp_path):
        weights = momentum_like(close, rows=slice(5, 15), n=3)
        with pytest.raises(ValueError, match=r"unknown benchmark '000001' \(the store has: 000852, 000300, 000905\)"):
            run_backtest(weights, store, benchmark="000001")
        with pytest.raises(ValueError, match="chart must be one of"):
            run_backtest(weights, store, chart="wide")
        with pytest.raises(ValueError, match="start_date"):
            run_backtest(weights, store, start_date="2021-02-30")
        for key, value in (("total_money", 0.0), ("fee", 1.0), ("rule_fee", float("nan"))):
            with pytest.raises(ValueError, match=key):
                run_backtest(weights, store, **{key: value})
        with pytest.raises(TypeError, match="DataFrame"):
            run_backtest(weights.to_numpy(), store)
        with pytest.raises(FileNotFoundError, match="store not found"):
            run_backtest(weights, tmp_path / "nothing")


class TestWarningsAndResult:
    def test_leverage_and_negative_weights_warn(self, store, close):
        weights = momentum_like(close, rows=slice(5, 30), n=5) * 20
        weights.iloc[3, 1] = -0.5
        with pytest.warns(TessaryWarning) as caught:
            result = run_backtest(weights, store)
        texts = [str(w.message) for w in caught]
        assert any(t.startswith("25 date(s) have weights summing above 1 (up to 20") for t in texts), texts
        assert any(t.startswith("1 negative weight(s) on 1 date(s)") and "not traded" in t for t in texts), texts
        assert result.warnings == texts
        assert all(w.filename == __file__ for w in caught)  # they point at the caller
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            run_backtest(weights.clip(lower=0) / 20, store.store_dir)  # sums of at most 1: no warning

    def test_no_positive_weight_warns(self, store, close):
        weights = momentum_like(close, rows=slice(5, 15), n=3) * 0
        with pytest.warns(TessaryWarning, match="nothing is traded"):
            run_backtest(weights, store)

    def test_charts_json_and_notebook_view(self, store, close, tmp_path, monkeypatch):
        weights = momentum_like(close, rows=slice(5, 60), n=6)
        result = run_backtest(weights, store, chart="long", save_path=tmp_path / "deep" / "m.png", name="mom")
        assert result.plot_paths == {"main": str(tmp_path / "deep" / "m.png"),
                                     "weekly_net_value": str(tmp_path / "deep" / "m_weekly_net_value.png")}
        report = json.loads(json.dumps(result.to_dict()))
        assert report["strategy_name"] == "mom" and len(report["stats"]) == 13
        assert [row["benchmark_name"] for row in report["benchmark_summary"]] == ["000852", "000300", "000905"]
        page = result._repr_html_()
        assert page.count("<table>") == 2 and page.count("data:image/png;base64,") == 2
        assert "annual return" in page and "mom" in repr(result)
        monkeypatch.chdir(tmp_path)  # a chart kind alone draws <name>.png in the current directory
        drawn = run_backtest(weights, store, chart="large", name="a/b c")
        assert drawn.plot_paths["main"] == "a_b_c.png" and (tmp_path / "a_b_c.png").is_file()


def rebuilt(store, tmp_path, change):
    """A copy of ``store`` with ``change`` applied to its loaded payload."""
    payload = store.load(mmap=False)
    payload["data"]["benchmark_dict"] = store.load_benchmark_dict()
    change(payload["data"])
    copy = BinaryPreparedDataStore(tmp_path / "copy")
    copy.write_payload(payload)
    return copy


class TestFormerlySilentMarkets:
    def test_the_engine_refuses_weights_labelled_unlike_its_market(self, store, close):
        weights = momentum_like(close, rows=slice(5, 40), n=6)
        data = store.load(mmap=False)["data"]
        frames = {p: data[k].reindex(index=weights.index, columns=weights.columns) for p, k in DATASETS.items()}
        assert len(run_strategy_backtest_core(weights, **frames).daily_return) == 34
        dated = weights.set_axis(pd.to_datetime(weights.index, format="%Y%m%d"))
        with pytest.raises(ValueError, match=r"'can_buy_stock' lacks 34 date\(s\).*DatetimeIndex"):
            run_strategy_backtest_core(dated, **frames)
        suffixed = weights.set_axis([c + ".XSHG" for c in weights.columns], axis=1)
        with pytest.raises(ValueError, match=r"lacks 6 stock code\(s\).*suffix"):
            run_strategy_backtest_core(suffixed, **frames)

    def test_a_market_where_nothing_can_be_bought_warns(self, store, close, tmp_path):
        blocked = rebuilt(store, tmp_path, lambda d: d.update(can_buy_stock=d["can_buy_stock"] & False))
        with pytest.warns(TessaryWarning, match=r"only 0.0% of the \d+ stock-days.*rq_is_suspended.*1 means the stock trades"):
            run_backtest(momentum_like(close), blocked)

    def test_a_benchmark_without_data_warns(self, store, close, tmp_path):
        def empty(d):
            d["benchmark_dict"]["000852"] = d["benchmark_dict"]["000852"].iloc[:0]

        hollow = rebuilt(store, tmp_path, empty)
        with pytest.warns(TessaryWarning, match="benchmark 000852 has no daily return"):
            run_backtest(momentum_like(close), hollow)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            run_backtest(momentum_like(close), hollow, benchmark="000300")


class TestRecordsOfTheResult:
    def test_records_rebuild_the_result_and_follow_the_smoothing(self, store, close):
        from tessary.backtest.records import compute_records

        weights = momentum_like(close)
        result = run_backtest(weights, store, benchmark=None, rolling_window=3)
        daily = result.daily_trading
        rebuilt = pd.Series(daily["daily_return"].to_numpy(), index=pd.DatetimeIndex(daily["date"]))
        engine = result.daily_return.loc[rebuilt.index]
        np.testing.assert_allclose(rebuilt.to_numpy(), engine.to_numpy(), rtol=1e-12, atol=1e-15)
        assert result.records is result.records  # computed once
        inputs = result._engine_inputs
        direct = compute_records(
            inputs["strategy_matrix"],
            **{k: inputs[k] for k in MARKET_FRAMES},
            rolling_window=3,
        )
        pd.testing.assert_frame_equal(result.trades, direct.trades)
        assert len(result.trades) and len(result.positions) and len(result.pnl)
        assert set(result.blocked.columns) >= {"date", "code", "side", "reason"}
