"""Per-year metrics and the Friday-sampled weekly net value frame."""

import math

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _core
from tessary.backtest import _pnl_engine as eng

nan = np.nan


def reference_period(s):
    """The period figures written plainly with pandas."""
    cumulative = s.cumsum()
    drawdown = cumulative - np.maximum(cumulative.cummax(), 0)
    max_dd = abs(drawdown.min())
    annual = s.mean() * 252
    calmar = annual / max_dd if (not np.isnan(max_dd) and max_dd > 1e-12) else nan
    return float(s.sum()), float(max_dd), float(calmar)


def same(a, b):
    return len(a) == len(b) and all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b))


class TestPeriodReturnDrawdownCalmar:
    def test_none_and_empty(self):
        for value in (None, pd.Series(dtype=float)):
            result = eng._period_return_drawdown_calmar(value)
            assert type(result) is tuple and same(result, (nan, nan, nan))

    @pytest.mark.parametrize(
        "values, expected",
        [
            ([0.01, -0.02, 0.01], (0.0, 0.02, 0.0)),
            ([-0.03, 0.01, 0.02, 0.01], (0.01, 0.03, 0.01 / 4 * 252 / 0.03)),  # first-day loss counts
            ([0.01, 0.02], (0.03, 0.0, nan)),  # no drawdown: no Calmar
            ([0.01, nan, -0.02], (-0.01, 0.02, -0.005 * 252 / 0.02)),  # NaN skipped, sum carries on
            ([nan, nan], (0.0, nan, nan)),
            ([0.0, -1e-13], (-1e-13, 1e-13, nan)),  # drawdown too small to divide by
        ],
    )
    def test_examples(self, values, expected):
        result = eng._period_return_drawdown_calmar(pd.Series(values))
        assert all(isinstance(x, float) for x in result)
        np.testing.assert_allclose(result, expected, rtol=1e-12, atol=0)

    def test_matches_pandas_on_random_data(self):
        rng = np.random.default_rng(1)
        for n in (1, 7, 300, 1000):
            s = pd.Series(rng.normal(0.0005, 0.02, n))
            s[rng.random(n) < 0.1] = nan
            before = s.copy()
            assert same(eng._period_return_drawdown_calmar(s), reference_period(s))
            pd.testing.assert_series_equal(s, before)

    def test_reads_trading_days_at_call_time(self, monkeypatch):
        s = pd.Series([0.02, -0.01, 0.02])
        monkeypatch.setattr(eng, "TRADING_DAYS_PER_YEAR", 100)
        assert eng._period_return_drawdown_calmar(s)[2] == pytest.approx(0.01 * 100 / 0.01)


def daily_frame(dates, strategy, excess, **extra):
    return pd.DataFrame({"daily_return": strategy, "extra_daily_return": excess, **extra}, index=pd.to_datetime(dates))


COLUMNS = [
    "strategy_return",
    "strategy_sharpe",
    "strategy_max_dd",
    "strategy_calmar",
    "excess_return",
    "excess_sharpe",
    "excess_max_dd",
    "excess_calmar",
]


class TestYearlyMetrics:
    def test_year_split_restarts_drawdown(self):
        daily = daily_frame(
            ["2021-12-30", "2021-12-31", "2022-01-03", "2022-01-04"],
            [0.02, -0.01, -0.03, 0.01],
            [0.01, 0.01, -0.02, 0.0],
            index_daily_return=[9.0, 9.0, 9.0, 9.0],  # ignored
        )
        before = daily.copy()
        out = eng._calc_yearly_performance_metrics(daily)
        pd.testing.assert_frame_equal(daily, before)
        assert list(out.columns) == COLUMNS
        assert out.index.name == "year" and out.index.dtype == np.int64 and list(out.index) == [2021, 2022]
        assert all(dtype == np.float64 for dtype in out.dtypes)
        assert out.loc[2021, "strategy_return"] == pytest.approx(0.01)
        assert out.loc[2021, "strategy_max_dd"] == pytest.approx(0.01)
        # 2022 starts from its own peak of 0: the first-day loss is the drawdown.
        assert out.loc[2022, "strategy_max_dd"] == pytest.approx(0.03)
        assert out.loc[2022, "strategy_return"] == pytest.approx(-0.02)
        assert out.loc[2022, "strategy_calmar"] == pytest.approx(-0.01 * 252 / 0.03)
        assert out.loc[2022, "excess_max_dd"] == pytest.approx(0.02)
        assert out.loc[2022, "strategy_sharpe"] == _core.safe_sharpe(pd.Series([-0.03, 0.01]))
        assert math.isnan(out.loc[2021, "excess_calmar"])

    def test_cleaning_and_skipped_years(self, monkeypatch):
        calls = []

        def recorder(series, *args, **kwargs):
            calls.append((list(series), args, kwargs))
            return 1.5

        monkeypatch.setattr(eng, "safe_sharpe", recorder)
        daily = daily_frame(
            ["2019-06-03", "2020-03-02", "2020-03-03", "2021-05-05"],
            [nan, np.inf, -np.inf, 0.01],
            [np.inf, 0.01, 0.02, nan],
        )
        out = eng._calc_yearly_performance_metrics(daily)
        assert list(out.index) == [2020, 2021]  # 2019 has nothing valid on either side
        row = out.loc[2020]
        assert math.isnan(row["strategy_return"]) and math.isnan(row["strategy_max_dd"])
        assert math.isnan(row["strategy_calmar"]) and row["strategy_sharpe"] == 1.5
        assert row["excess_return"] == pytest.approx(0.03) and row["excess_max_dd"] == 0.0
        # Cleaned series only, and the caller's own periods default.
        assert calls == [([], (), {}), ([0.01, 0.02], (), {}), ([0.01], (), {}), ([], (), {})]

    def test_uses_current_period_function(self, monkeypatch):
        monkeypatch.setattr(eng, "_period_return_drawdown_calmar", lambda s: (len(s), 2.0, 3.0))
        out = eng._calc_yearly_performance_metrics(daily_frame(["2020-01-02", "2020-01-03"], [0.1, 0.2], [0.1, nan]))
        assert list(out.loc[2020, ["strategy_return", "excess_return", "excess_calmar"]]) == [2.0, 1.0, 3.0]

    def test_empty_and_bad_input(self):
        empty = daily_frame([], [], [])
        out = eng._calc_yearly_performance_metrics(empty)
        assert out.empty and len(out.columns) == 0 and out.index.name is None
        with pytest.raises(AttributeError):
            eng._calc_yearly_performance_metrics(pd.DataFrame({"daily_return": [0.1], "extra_daily_return": [0.1]}))
        with pytest.raises(KeyError):
            eng._calc_yearly_performance_metrics(pd.DataFrame({"daily_return": [0.1]}, index=pd.to_datetime(["2020-01-02"])))
        with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(0 given\)"):
            eng._calc_yearly_performance_metrics()


def series(dates, values):
    return pd.Series(values, index=pd.to_datetime(dates), dtype=float)


def weekly(daily, benchmark, cumulative=None):
    if cumulative is None:
        cumulative = daily.cumsum() + 1
    args = (daily, cumulative, benchmark)
    before = [a.copy() for a in args]
    out = eng._build_weekly_net_value_frame(*args)
    for a, b in zip(args, before):
        pd.testing.assert_series_equal(a, b)
    return out


class TestWeeklyNetValueFrame:
    def test_empty(self):
        e = pd.Series(dtype=float)
        out = eng._build_weekly_net_value_frame(e, e, e)
        assert out.empty and len(out.columns) == 0

    def test_net_value_without_returns_has_a_flat_excess(self):
        e = pd.Series(dtype=float)
        cum = pd.Series([1.0, 1.01], index=pd.date_range("2024-01-01", periods=2))
        out = eng._build_weekly_net_value_frame(e, cum, e)
        assert list(out["long"]) == [1.01]
        assert list(out["extra_return"]) == [0.0] and list(out["extra_net_value"]) == [1.0]

    def test_friday_labels_and_compounding(self):
        dates = pd.bdate_range("2024-01-01", "2024-01-10")  # Monday to the next Wednesday
        daily = series(dates, np.full(len(dates), 0.02))
        bench = series(dates, np.full(len(dates), 0.01))
        out = weekly(daily, bench)
        assert list(out.columns) == ["long", "close_net_value", "extra_return", "extra_net_value"]
        assert list(out.index) == list(pd.to_datetime(["2024-01-05", "2024-01-12"]))
        assert isinstance(out.index, pd.DatetimeIndex)
        # The second week holds Wednesday 2024-01-10's values.
        assert out["long"].tolist() == pytest.approx([1.10, 1.16])
        assert out["close_net_value"].tolist() == pytest.approx([1.01**5, 1.01**8])
        assert out["extra_net_value"].tolist() == pytest.approx([1.04, 1.07])  # first day is exactly 1
        np.testing.assert_allclose(out["extra_net_value"] - 1, out["extra_return"], rtol=0, atol=1e-15)

    def test_long_taken_as_given(self):
        dates = pd.to_datetime(["2024-01-04", "2024-01-05"])
        bench = series(dates, [0.01, 0.01])
        out = weekly(series(dates, [0.5, 0.5]), bench, cumulative=series(dates, [7.0, 8.0]))
        assert out["long"].tolist() == [8.0]
        assert out["close_net_value"].tolist() == pytest.approx([1.0201])

    def test_friday_holiday_and_last_valid_value_per_column(self):
        dates = pd.to_datetime(["2024-01-08", "2024-01-09", "2024-01-10", "2024-01-11"])  # Friday 12th closed
        daily = series(dates, [0.01, 0.01, 0.01, 0.01])
        out = weekly(daily, daily.copy())
        assert list(out.index) == [pd.Timestamp("2024-01-12")]
        assert out["long"].iloc[0] == pytest.approx(1.04)
        assert out["extra_net_value"].iloc[0] == 1.0  # equal returns: excess flat at 1

        dates = pd.to_datetime(["2024-01-10", "2024-01-11", "2024-01-12"])
        cum = series(dates, [1.1, 1.2, nan])
        out = weekly(series(dates, [0.0, 0.0, 0.0]), series(dates, [0.0, 0.0, 0.5]), cumulative=cum)
        assert out["long"].iloc[0] == 1.2  # Thursday's, since Friday's is missing
        assert out["close_net_value"].iloc[0] == 1.5  # Friday's

    def test_benchmark_starting_a_day_late(self):
        dates = pd.bdate_range("2024-01-01", "2024-01-12")
        daily = series(dates, np.full(len(dates), 0.01))
        bench = series(dates[1:], np.full(len(dates) - 1, 0.005))
        out = weekly(daily, bench)
        assert len(out) == 2
        assert out["extra_return"].isna().all() and out["extra_net_value"].isna().all()
        assert out["long"].tolist() == pytest.approx([1.05, 1.10])
        # The missing first benchmark day is flat.
        assert out["close_net_value"].tolist() == pytest.approx([1.005**4, 1.005**9])

    def test_infinities_are_missing_and_text_dates(self):
        dates = ["20240102", "20240103", "20240104"]
        daily = pd.Series([0.01, np.inf, 0.01], index=dates)
        bench = pd.Series([0.0, -np.inf, 0.0], index=dates)
        out = eng._build_weekly_net_value_frame(daily, daily.cumsum(), bench)
        assert list(out.index) == [pd.Timestamp("2024-01-05")]
        assert out["close_net_value"].iloc[0] == 1.0
        assert out["extra_return"].iloc[0] == pytest.approx(0.01)

    def test_uses_current_datetime_helper(self, monkeypatch):
        seen = []

        def helper(frame):
            seen.append(list(frame.columns))
            return frame.iloc[0:0]

        monkeypatch.setattr(eng, "_with_datetime_index", helper)
        s = series(["2024-01-02"], [0.1])
        out = eng._build_weekly_net_value_frame(s, s, s)
        assert seen == [["long", "close_net_value", "extra_return"]]
        assert out.empty and len(out.columns) == 0
