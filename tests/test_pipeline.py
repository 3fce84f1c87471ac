"""The strategy backtest pipeline: net value, per-benchmark summary, the statistics
frame, chart calls and paths, call-time lookups and argument rules."""

import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _core
from tessary.backtest._market_frames import MARKET_FRAMES
from tessary.backtest import _pnl_engine as eng

nan = np.nan
MARKET = list(MARKET_FRAMES)


def market(n=8, m=3, seed=0):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2023-12-27", periods=n).strftime("%Y%m%d")
    cols = [f"{i:06d}" for i in range(m)]
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, (n, m)), axis=0))
    prev = np.vstack([close[:1], close[:-1]])

    def f(v):
        return pd.DataFrame(v, index=dates, columns=cols)

    frames = {
        "can_buy_stock": f(np.ones((n, m), bool)),
        "cant_sell_stock": f(np.zeros((n, m), bool)),
        "split_factor": f(np.full((n, m), nan)),
        "dividend_factor": f(np.full((n, m), nan)),
        "close_price": f(close),
        "prev_close": f(prev),
        "buy_price": f(close * 1.001),
        "sell_price": f(close * 0.999),
    }
    weights = f(np.where(rng.random((n, m)) < 0.7, 1.0 / m, nan))
    return weights, frames


def run(weights, frames, **kwargs):
    """The pipeline, checking that no input changes."""
    copies = [weights.copy()] + [frames[k].copy() for k in MARKET]
    bms = kwargs.get("benchmark_dict") or {}
    bm_copies = {k: v.copy() for k, v in bms.items()}
    result = eng.run_strategy_backtest_core(weights, *[frames[k] for k in MARKET], **kwargs)
    for before, after in zip(copies, [weights] + [frames[k] for k in MARKET]):
        pd.testing.assert_frame_equal(before, after)
    assert list(bms) == list(bm_copies)
    for k, v in bm_copies.items():
        pd.testing.assert_series_equal(bms[k], v)
    return result


@pytest.fixture
def stats_calls(monkeypatch):
    calls = []
    real = eng.calc_strategy_stats

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(eng, "calc_strategy_stats", recorder)
    return calls


def test_result_without_benchmarks(stats_calls):
    weights, frames = market()
    for bench in (None, {}):
        result = run(weights, frames, benchmark_dict=bench)
        assert isinstance(result, eng._PnlEngineResult)
        expected = eng.calc_strategy_vwap_daily_return(weights, *[frames[k] for k in MARKET])
        pd.testing.assert_series_equal(result.daily_return, expected)
        pd.testing.assert_series_equal(result.cumulative_return, expected.cumsum() + 1)
        assert result.strategy_name == "strategy" and result.plot_paths == {}
        assert result.benchmark_summary.shape == (0, 0)
        (total_frame, signal), kwargs = stats_calls[-1]
        assert kwargs == {} and signal is weights
        assert list(total_frame.columns) == ["daily_return", "index_daily_return"]
        assert (total_frame["index_daily_return"] == 0).all()
        np.testing.assert_equal(result.stats, eng.calc_strategy_stats(total_frame, weights))


def test_benchmark_summary_and_primary_benchmark(stats_calls):
    weights, frames = market()
    dates = weights.index
    bm_300 = pd.Series(np.linspace(-0.01, 0.01, len(dates)), index=dates)
    bm_852 = pd.Series(0.002, index=dates[3:].append(pd.Index(["20990101"])))  # lacks early dates, has one extra
    bm_852.iloc[1] = nan
    result = run(weights, frames, benchmark_dict={"000300": bm_300, "000852": bm_852}, strategy_name="s1")
    summary = result.benchmark_summary
    assert list(summary.columns) == ["benchmark_name", "benchmark_annual_return", "excess_annual_return",
                                     "excess_sharpe", "excess_max_dd"]
    assert list(summary["benchmark_name"]) == ["000300", "000852"] and list(summary.index) == [0, 1]
    daily = result.daily_return
    aligned = bm_852.reindex(daily.index, fill_value=0.0)
    excess = daily.sub(aligned, fill_value=0)  # a NaN benchmark day counts as 0 here
    row = summary.iloc[1]
    assert row["benchmark_annual_return"] == pytest.approx(aligned.mean() * 252)
    assert row["excess_annual_return"] == pytest.approx(excess.mean() * 252)
    assert row["excess_sharpe"] == pytest.approx(_core.safe_sharpe(excess, periods=252))
    cum = excess.cumsum()
    assert row["excess_max_dd"] == pytest.approx((cum - cum.cummax()).min()) and row["excess_max_dd"] <= 0
    # The statistics see only the primary benchmark, missing dates as 0, NaN kept.
    (total_frame, _), _ = stats_calls[-1]
    pd.testing.assert_series_equal(total_frame["index_daily_return"],
                                   bm_852.reindex(daily.index, fill_value=0), check_names=False)
    assert result.strategy_name == "s1"


def test_unknown_primary_benchmark_leaves_zeros(stats_calls):
    weights, frames = market()
    bm = pd.Series(0.01, index=weights.index)
    result = run(weights, frames, benchmark_dict={"000300": bm}, benchmark_names="000905")
    assert len(result.benchmark_summary) == 1
    (total_frame, _), _ = stats_calls[-1]
    assert (total_frame["index_daily_return"] == 0).all()


def test_call_time_lookups(monkeypatch):
    weights, frames = market()
    seen = {}

    def engine(**kwargs):
        seen["engine"] = kwargs
        return pd.Series([0.01, -0.02, 0.03], index=kwargs["signal_matrix"].index[1:4])

    def sharpe(series, *args, **kwargs):
        seen.setdefault("sharpe", []).append((args, kwargs))
        return 7.0

    monkeypatch.setattr(eng, "calc_strategy_vwap_daily_return", engine)
    monkeypatch.setattr(eng, "safe_sharpe", sharpe)
    monkeypatch.setattr(eng, "calc_strategy_stats", lambda tf, sig: {"n": len(tf)})
    result = run(weights, frames, benchmark_dict={"000852": pd.Series(0.0, index=weights.index)},
                 total_money=5, fee=0, rule_fee=0.001)
    assert set(seen["engine"]) == {"signal_matrix", *MARKET, "total_money", "fee", "rule_fee"}  # no lot_size
    assert seen["engine"]["total_money"] == 5.0 and type(seen["engine"]["total_money"]) is float
    assert seen["engine"]["fee"] == 0.0 and type(seen["engine"]["fee"]) is float
    assert seen["sharpe"] == [((), {"periods": 252})]
    assert result.stats == {"n": 3} and result.benchmark_summary["excess_sharpe"].tolist() == [7.0]
    assert result.cumulative_return.tolist() == pytest.approx([1.01, 0.99, 1.02])


@pytest.fixture
def charts(monkeypatch):
    calls = []
    for name in ("plot_strategy_performance", "plot_weekly_net_value"):
        def fake(_name=name, **kwargs):
            calls.append((_name, kwargs))
            return {}
        # raising=False: the chart functions may not be part of this build yet.
        monkeypatch.setattr(eng, name, fake, raising=False)
    return calls


def test_chart_calls_and_paths(charts):
    weights, frames = market()
    bm = pd.Series(0.001, index=weights.index)
    result = run(weights, frames, benchmark_dict={"000852": bm}, plot_save_path="./out/run1.png",
                 strategy_name="alpha", plot_title="标题", plot_image_kind="long")
    assert result.plot_paths == {"main": "out/run1.png", "weekly_net_value": "out/run1_weekly_net_value.png"}
    assert list(result.plot_paths) == ["main", "weekly_net_value"]
    (main_name, main), (weekly_name, weekly) = charts
    assert (main_name, weekly_name) == ("plot_strategy_performance", "plot_weekly_net_value")
    assert list(main) == ["daily_return", "cumulative_return", "benchmark_daily_return", "stats", "strategy_name",
                          "plot_title", "save_path", "image_kind", "benchmark_name"]
    assert list(weekly) == [k for k in main if k != "stats"]
    assert main["save_path"] == Path("out/run1.png") and isinstance(main["save_path"], Path)
    assert weekly["save_path"] == Path("out/run1_weekly_net_value.png")
    assert main["stats"] is result.stats and main["daily_return"] is result.daily_return
    assert main["cumulative_return"] is result.cumulative_return
    assert (main["strategy_name"], main["plot_title"], main["image_kind"], main["benchmark_name"]) == (
        "alpha", "标题", "long", "000852")
    pd.testing.assert_series_equal(main["benchmark_daily_return"], bm.reindex(result.daily_return.index),
                                   check_names=False)

    charts.clear()
    result = run(weights, frames, plot_save_path=Path("report"))
    assert result.plot_paths == {"main": "report", "weekly_net_value": "report_weekly_net_value"}
    assert charts[0][1]["image_kind"] == "large" and charts[0][1]["plot_title"] is None


def test_no_charts_without_kind_or_path(charts):
    weights, frames = market()
    assert run(weights, frames).plot_paths == {}
    assert run(weights, frames, plot_image_kind=None, plot_save_path="x.png").plot_paths == {}
    assert charts == []


def test_chart_failure_fails_the_call(monkeypatch):
    weights, frames = market()

    def broken(**kwargs):
        raise RuntimeError("no canvas")

    monkeypatch.setattr(eng, "plot_strategy_performance", broken, raising=False)
    with pytest.raises(RuntimeError, match="no canvas"):
        run(weights, frames, plot_save_path="a.png")


def test_short_matrices():
    weights, frames = market(n=1)
    bm = {"000852": pd.Series([0.01], index=weights.index)}
    result = run(weights, frames, rolling_window=3, benchmark_dict=bm)
    assert result.daily_return.empty and result.cumulative_return.empty
    assert all(math.isnan(v) for v in result.stats.values())
    assert result.benchmark_summary["benchmark_name"].tolist() == ["000852"]
    assert result.benchmark_summary.drop(columns="benchmark_name").isna().all(axis=None)
    weights, frames = market()
    empty = weights.iloc[:0]
    result = run(empty, frames, rolling_window=3)  # no first row to restore: not an error
    assert result.daily_return.empty


def test_argument_rules(monkeypatch):
    weights, frames = market()
    args = [weights] + [frames[k] for k in MARKET]
    calls = []
    monkeypatch.setattr(eng, "calc_strategy_vwap_daily_return", lambda **kw: calls.append(kw))

    class MyDict(dict):
        pass

    for kwargs, message in [
        ({"benchmark_names": None}, "Argument 'benchmark_names' has incorrect type (expected str, got NoneType)"),
        ({"benchmark_dict": []}, "Argument 'benchmark_dict' has incorrect type (expected dict, got list)"),
        ({"benchmark_dict": MyDict()}, "Argument 'benchmark_dict' has incorrect type (expected dict, got MyDict)"),
        ({"rolling_window": "3"}, "Argument 'rolling_window' has incorrect type (expected int, got str)"),
        ({"plot_image_kind": 1}, "Argument 'plot_image_kind' has incorrect type (expected str, got int)"),
        ({"strategy_name": None}, "Argument 'strategy_name' has incorrect type (expected str, got NoneType)"),
        ({"plot_title": b"t"}, "Argument 'plot_title' has incorrect type (expected str, got bytes)"),
        ({"charts": True}, "run_strategy_backtest_core() got an unexpected keyword argument 'charts'"),
    ]:
        with pytest.raises(TypeError) as err:
            eng.run_strategy_backtest_core(*args, **kwargs)
        assert str(err.value) == message
    with pytest.raises(TypeError):
        eng.run_strategy_backtest_core(*args, total_money="1e8")
    with pytest.raises(TypeError, match=r"^run_strategy_backtest_core\(\) takes at least 9 positional arguments \(8 given\)$"):
        eng.run_strategy_backtest_core(*args[:8])
    with pytest.raises(TypeError, match=r"takes at most 19 positional arguments \(20 given\)"):
        eng.run_strategy_backtest_core(*args, *[None] * 11)
    assert calls == []  # a rejected call does nothing


def test_rolling_window_is_truncated(monkeypatch):
    weights, frames = market()
    seen = []
    real = eng.calc_strategy_vwap_daily_return
    monkeypatch.setattr(eng, "calc_strategy_vwap_daily_return", lambda **kw: seen.append(kw) or real(**kw))
    run(weights, frames, rolling_window=2.9)
    expected = weights.rolling(2, min_periods=1).mean()
    expected.iloc[0] = weights.iloc[0]
    pd.testing.assert_frame_equal(seen[0]["signal_matrix"], expected)


def test_results_do_not_depend_on_memory_layout():
    # Row-major frames (as memory-mapped store matrices are) and pandas' own
    # column-major frames take different native passes; the results are the same to
    # the last bit. 700 stocks: more than one span of the row pass.
    import sys

    sys.path.insert(0, str(Path(__file__).parent))
    from reference.vwap import random_market

    frames = random_market(60, 700, seed=11, special=False)
    rng = np.random.default_rng(11)
    for key in ("close_price", "prev_close", "signal_matrix"):  # some missing values
        values = frames[key].to_numpy(copy=True)
        values[rng.random(values.shape) < 0.02] = np.nan
        frames[key] = pd.DataFrame(values, index=frames[key].index, columns=frames[key].columns)
    # pandas' own layout for a frame of one dtype is column-major (pandas 3 copies a
    # 2-D array into it; pandas 2 keeps the array it is given, so give it that layout).
    frames = {k: pd.DataFrame(np.asfortranarray(v.to_numpy()), index=v.index, columns=v.columns, copy=False)
              for k, v in frames.items()}
    rows = {k: pd.DataFrame(np.ascontiguousarray(v.to_numpy()), index=v.index, columns=v.columns, copy=False)
            for k, v in frames.items()}
    assert rows["close_price"].to_numpy(copy=False).flags.c_contiguous
    assert frames["close_price"].to_numpy(copy=False).flags.f_contiguous
    weights = {"strategy_matrix": frames.pop("signal_matrix")}
    row_weights = {"strategy_matrix": rows.pop("signal_matrix")}
    bench = {"000852": pd.Series(0.001, index=weights["strategy_matrix"].index)}
    by_columns = eng.run_strategy_backtest_core(**weights, **frames, benchmark_dict=bench, rolling_window=3)
    by_rows = eng.run_strategy_backtest_core(**row_weights, **rows, benchmark_dict=bench, rolling_window=3)
    assert by_rows.daily_return.equals(by_columns.daily_return)
    assert (by_rows.daily_return.abs() > 0).sum() > 50
    for key, value in by_columns.stats.items():
        assert by_rows.stats[key] == value or (math.isnan(value) and math.isnan(by_rows.stats[key])), key
