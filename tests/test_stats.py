"""The statistics dictionary: arithmetic net values, drawdowns, benchmark close
fallback, win rates, holding count and turnover, call contract of the Sharpe helper."""

import math

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _pnl_engine as eng

nan = np.nan
KEYS = [
    "annual_return",
    "long_sharp",
    "max_dd",
    "extra_annual_return",
    "extra_sharp",
    "extra_max_dd",
    "benchmark_annual_return",
    "benchmark_sharp",
    "return_corr",
    "win_rate",
    "excess_win_rate",
    "holding_count",
    "turnover",
]


def frame(strategy, benchmark=None, **extra):
    n = len(strategy)
    benchmark = np.zeros(n) if benchmark is None else benchmark
    index = pd.bdate_range("2021-01-04", periods=n)
    return pd.DataFrame({"daily_return": strategy, "index_daily_return": benchmark, **extra}, index=index)


def stats(total_frame, signal_df=None):
    """calc_strategy_stats, checking that neither input changes."""
    frame_before = total_frame.copy()
    signal_before = None if signal_df is None else signal_df.copy()
    out = eng.calc_strategy_stats(total_frame, signal_df)
    pd.testing.assert_frame_equal(total_frame, frame_before)
    if signal_df is not None:
        pd.testing.assert_frame_equal(signal_df, signal_before)
    assert list(out) == KEYS
    return out


def test_no_valid_rows_gives_all_nan():
    out = stats(frame([nan, 0.01], [0.0, nan]), pd.DataFrame({"a": [1.0, 1.0]}))
    assert all(math.isnan(v) for v in out.values())
    out = stats(frame([], []))
    assert all(math.isnan(v) for v in out.values())


def test_arithmetic_annualisation():
    out = stats(frame(np.full(252, 0.001)))
    assert out["annual_return"] == pytest.approx(25.2, rel=1e-12)  # not the compounded 28.6
    assert out["max_dd"] == 0.0 and out["win_rate"] == 100.0
    assert out["benchmark_annual_return"] == 0.0 and out["extra_annual_return"] == pytest.approx(25.2)
    assert math.isnan(out["return_corr"])  # constant benchmark
    assert math.isnan(out["holding_count"]) and math.isnan(out["turnover"])
    assert all(isinstance(v, float) for v in out.values())
    # Half a year of the same returns doubles the annualised figure per day.
    assert stats(frame(np.full(126, 0.001)))["annual_return"] == pytest.approx(25.2)


@pytest.mark.parametrize(
    "returns, max_dd",
    [
        ([0.10, -0.10], 10.0),  # a difference of net values, not 10/110
        ([-0.10, 0.05], 0.0),  # the running maximum starts at the first day, not at 1
        ([0.05, -0.02, 0.03, -0.04, -0.01], 5.0),
    ],
)
def test_drawdown_of_net_values(returns, max_dd):
    assert stats(frame(returns))["max_dd"] == pytest.approx(max_dd, abs=1e-12)


def test_excess_figures():
    out = stats(frame([0.02, -0.01, 0.0, 0.01], [0.01, 0.01, 0.0, -0.01]))
    # excess 0.01, -0.02, 0.0, 0.02; its net value 1.01, 0.99, 0.99, 1.01
    assert out["extra_annual_return"] == pytest.approx(0.01 / (4 / 252) * 100)
    assert out["extra_max_dd"] == pytest.approx(2.0)
    assert out["win_rate"] == 50.0  # a zero return is no win but counts
    assert out["excess_win_rate"] == 50.0
    assert out["return_corr"] == pytest.approx(np.corrcoef([0.02, -0.01, 0.0, 0.01], [0.01, 0.01, 0.0, -0.01])[0, 1])


@pytest.mark.parametrize(
    "close, expected",
    [
        ([10.0, 11.0, 12.0], (12.0 / 10.0 - 1)),  # price ratio
        ([0.0, 11.0, 12.0], 0.03),  # unusable first close: running sum of returns
        ([-1.0, 11.0, 12.0], 0.03),
        ([nan, 11.0, 12.0], 0.03),
        ([10.0, 11.0, nan], nan),  # a missing last close leaves no figure
    ],
)
def test_benchmark_close_fallback(close, expected):
    out = stats(frame([0.0, 0.0, 0.0], [0.01, 0.01, 0.01], close=close))
    if math.isnan(expected):
        assert math.isnan(out["benchmark_annual_return"])
    else:
        assert out["benchmark_annual_return"] == pytest.approx(expected / (3 / 252) * 100)


def test_close_taken_from_first_kept_row():
    # The first row is dropped (NaN return), so the first close is 20, not 10.
    out = stats(frame([nan, 0.0, 0.0], [0.0, 0.0, 0.0], close=[10.0, 20.0, 30.0]))
    assert out["benchmark_annual_return"] == pytest.approx(0.5 / (2 / 252) * 100)


def test_holding_count_and_turnover():
    tf = frame(np.zeros(4))
    dates = tf.index
    steady = pd.DataFrame({"a": 0.5, "b": 0.5}, index=dates)
    out = stats(tf, steady)
    assert out["holding_count"] == 2.0 and out["turnover"] == 0.0

    switched = pd.DataFrame(
        {"a": [0.5, 0.5, 0.0, 0.0], "b": [0.5, 0.5, nan, nan], "c": [0, 0, 0.5, 0.5], "d": [nan, nan, 0.5, 0.5]},
        index=dates,
    )
    out = stats(tf, switched)
    assert out["holding_count"] == 2.0
    assert out["turnover"] == pytest.approx(2.0 / 4 / 2 * 100)  # one full switch in four dates

    # Negative weights are held; a date missing from the signal counts as no holdings;
    # signal dates outside the returns are ignored.
    partial = pd.DataFrame({"a": [-0.2, 0.3, 9.0], "b": [0.0, 0.1, 9.0]}, index=[dates[0], dates[2], pd.Timestamp("2030-01-01")])
    out = stats(tf, partial)
    assert out["holding_count"] == pytest.approx((1 + 0 + 2 + 0) / 4)
    assert out["turnover"] == pytest.approx((0 + 0.2 + 0.4 + 0.4) / 4 / 2 * 100)


def test_short_signals():
    tf = frame([0.01, -0.01, 0.02])
    assert math.isnan(stats(tf, pd.DataFrame({"a": []}, dtype=float))["holding_count"])
    one_row = pd.DataFrame({"a": [0.5], "b": [0.5]}, index=tf.index[:1])
    out = stats(tf, one_row)
    assert out["holding_count"] == pytest.approx(2 / 3) and math.isnan(out["turnover"])
    out = stats(tf, None)
    assert math.isnan(out["holding_count"]) and out["annual_return"] == pytest.approx(0.02 / (3 / 252) * 100)


def test_duplicate_signal_dates():
    tf = frame([0.01, 0.02])
    dup = pd.DataFrame({"a": [0.5, 0.5]}, index=[tf.index[0], tf.index[0]])
    with pytest.raises(ValueError, match="duplicate"):
        eng.calc_strategy_stats(tf, dup)
    # Duplicate dates that are exactly the return dates need no lookup.
    tf_dup = pd.DataFrame({"daily_return": [0.01, 0.02], "index_daily_return": 0.0}, index=dup.index)
    assert eng.calc_strategy_stats(tf_dup, dup)["holding_count"] == 1.0


def test_working_column_names_in_input_are_ignored():
    tf = frame([0.01, 0.02], cumulative_return=[5.0, 5.0], extra_daily_return=[9.0, 9.0], max_drawdown=[-3.0, -3.0])
    out = stats(tf)
    assert out["annual_return"] == pytest.approx(0.03 / (2 / 252) * 100) and out["max_dd"] == 0.0


def test_sharpe_helper_call_contract(monkeypatch):
    calls = []

    def recorder(series, **kwargs):
        calls.append((series.name, list(series.index), list(series), kwargs))
        return len(calls) * 1.0

    monkeypatch.setattr(eng, "safe_sharpe", recorder)
    tf = frame([0.01, nan, 0.03], [0.005, 0.0, 0.0])
    out = eng.calc_strategy_stats(tf, None)
    kept = [tf.index[0], tf.index[2]]
    assert calls == [
        ("daily_return", kept, [0.01, 0.03], {"periods": 252}),
        ("extra_daily_return", kept, [0.005, 0.03], {"periods": 252}),
        ("index_daily_return", kept, [0.005, 0.0], {"periods": 252}),
    ]
    assert (out["long_sharp"], out["extra_sharp"], out["benchmark_sharp"]) == (1.0, 2.0, 3.0)


def test_bad_input():
    with pytest.raises(KeyError, match="index_daily_return"):
        eng.calc_strategy_stats(pd.DataFrame({"daily_return": [0.1]}), None)
    with pytest.raises(AttributeError):
        eng.calc_strategy_stats({"daily_return": [0.1], "index_daily_return": [0.0]}, None)
    with pytest.raises(TypeError, match=r"^calc_strategy_stats\(\) takes exactly 2 positional arguments \(1 given\)$"):
        eng.calc_strategy_stats(frame([0.1]))
    with pytest.raises(TypeError, match=r"^calc_strategy_stats\(\) got an unexpected keyword argument 'signal'$"):
        eng.calc_strategy_stats(frame([0.1]), None, signal=None)
    assert list(eng.calc_strategy_stats(signal_df=None, total_frame=frame([0.1]))) == KEYS
