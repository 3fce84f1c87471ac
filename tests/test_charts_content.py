"""What the figures draw, read back from their artists: cards, tables and their
colours, titles, layouts, and the series of every panel compared with pandas."""

import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from matplotlib.colors import to_hex  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from tessary.backtest import _pnl_engine as eng  # noqa: E402


@pytest.fixture
def saved(monkeypatch):
    """Figures handed to savefig, with the save arguments; nothing is rendered."""
    out = []
    monkeypatch.setattr(Figure, "savefig", lambda self, path, **kw: out.append((self, path, kw)))
    yield out
    plt.close("all")


def series(n, seed=0, start="2022-10-03"):
    rng = np.random.default_rng(seed)
    idx = pd.bdate_range(start, periods=n)
    daily = pd.Series(rng.normal(0.001, 0.01, n), index=idx)
    bench = pd.Series(rng.normal(0.0004, 0.01, n), index=idx)
    return daily, daily.cumsum() + 1, bench


STATS = {
    "annual_return": 5.0, "long_sharp": 1.234, "max_dd": -12.5, "extra_annual_return": 3.25,
    "extra_sharp": 0.5, "extra_max_dd": -4.0, "win_rate": 52.0, "excess_win_rate": 51.5,
    "benchmark_annual_return": 2.0, "benchmark_sharp": 0.25, "return_corr": 0.9, "holding_count": 12.6,
}  # no "turnover"


def texts(ax):
    return [t.get_text() for t in ax.texts]


def table_cells(ax):
    (table,) = ax.tables
    return table.get_celld()


def fill_hex(cell):
    return to_hex(cell.get_facecolor())


# --- KPI cards and the summary table -------------------------------------------------


def test_cards_and_summary_table_from_stats_and_cleaned_returns(saved):
    daily, cum, bench = series(70)
    daily.iloc[0] = np.nan  # dropped: the range starts one day later
    daily.iloc[-1] = np.inf  # dropped: the range ends one day earlier
    stats = dict(STATS)
    eng.plot_strategy_performance(daily, cum, bench, stats, benchmark_name="000300")
    assert stats == STATS
    fig, _, _ = saved[0]
    cards = fig.axes[0]
    assert not cards.axison
    assert texts(cards)[0::2] == ["5.00%", "1.23", "-12.50%", "3.25%", "0.50", "-4.00%", "52.00%", "51.50%", "--"]
    assert texts(cards)[1::2] == ["Strategy Ann.", "Strategy Sharpe", "Strategy Max DD", "Excess Ann.",
                                  "Excess Sharpe", "Excess Max DD", "Strategy Win", "Excess Win", "Turnover"]
    assert [round(t.get_position()[0] * 18, 6) for t in cards.texts[0::2]] == list(range(1, 18, 2))

    cells = table_cells(fig.axes[6])
    rows = [[cells[r, c].get_text().get_text() for c in (0, 1)] for r in range(11)]
    clean = daily.iloc[1:-1]
    bench_clean = bench.reindex(clean.index).fillna(0.0)
    yearly_excess = (clean - bench_clean).groupby(clean.index.year).sum()
    assert rows == [
        ["Metric", "Value"],
        ["Date Range", f"{clean.index[0]:%Y-%m-%d} ~ {clean.index[-1]:%Y-%m-%d}"],
        ["Trading Days", "68"],
        ["Benchmark", "000300"],
        ["Benchmark Ann.", "2.00%"],
        ["Benchmark Sharpe", "0.25"],
        ["Return Corr.", "0.90"],
        ["Avg Holding", "13"],
        ["Turnover", "--"],
        ["Excess Win Rate", "51.50%"],
        ["Annual Excess", eng._format_annual_excess(yearly_excess)],
    ]
    assert len(yearly_excess) == 2
    assert [fill_hex(cells[r, 1]) for r in range(4)] == ["#eef2ff", "#ffffff", "#f8fafc", "#ffffff"]
    assert fill_hex(cells[10, 0]) == "#f8fafc"
    assert cells[0, 0].get_text().get_fontweight() == "bold"
    assert fig.axes[6].get_title() == "Statistics"


def test_empty_stats_give_dashes_everywhere_but_the_data_rows(saved):
    daily, cum, bench = series(3)
    eng.plot_strategy_performance(daily, cum, bench, {})
    fig = saved[0][0]
    assert texts(fig.axes[0])[0::2] == ["--"] * 9
    cells = table_cells(fig.axes[6])
    values = [cells[r, 1].get_text().get_text() for r in range(1, 11)]
    assert values[3:9] == ["--"] * 6
    assert values[1] == "3" and values[2] == "000852" and values[9].startswith("2022: ")


def test_long_annual_excess_wraps_inside_its_cell(saved):
    daily, cum, bench = series(252 * 10, start="2013-01-01")
    eng.plot_strategy_performance(daily, cum, bench, {}, image_kind="long")
    ax = saved[0][0].axes[6]
    cells = table_cells(ax)
    text = cells[10, 1].get_text().get_text()
    assert "\n" in text
    yearly = (daily - bench).groupby(daily.index.year).sum()
    assert text.replace("\n", " | ") == eng._format_annual_excess(yearly)
    assert cells[10, 0].get_height() == cells[10, 1].get_height() > cells[9, 1].get_height()


# --- the yearly metrics table ------------------------------------------------------------


def yearly_frame():
    return pd.DataFrame(
        {
            "strategy_return": [0.1234, -0.05], "strategy_sharpe": [1.5, -0.2],
            "strategy_max_dd": [0.08, 0.1], "strategy_calmar": [2.0, np.nan],
            "excess_return": [0.03, 0.0], "excess_sharpe": [0.7, np.nan],
            "excess_max_dd": [0.02, 0.01], "excess_calmar": [1.25, -0.5],
        },
        index=pd.Index([2022.0, 2023.0], name="year"),
    )


@pytest.mark.parametrize("compact, size, title_size", [(False, 8.4, 11.5), (True, 7.4, 10.4)])
def test_yearly_metrics_table_texts_and_colours(compact, size, title_size):
    fig = plt.figure(figsize=(16, 4))
    ax = fig.add_subplot()
    frame = yearly_frame()
    before = frame.copy()
    assert eng._draw_yearly_metrics_table(ax, frame, compact=compact) is None
    pd.testing.assert_frame_equal(frame, before)
    cells = table_cells(ax)
    assert [cells[0, c].get_text().get_text() for c in range(9)] == [
        "Year", "Strategy Return", "Strategy Sharpe", "Strategy Max DD", "Strategy Calmar",
        "Excess Return", "Excess Sharpe", "Excess Max DD", "Excess Calmar"]
    assert [cells[1, c].get_text().get_text() for c in range(9)] == [
        "2022", "12.34%", "1.50", "8.00%", "2.00", "3.00%", "0.70", "2.00%", "1.25"]
    assert [cells[2, c].get_text().get_text() for c in range(9)] == [
        "2023", "-5.00%", "-0.20", "10.00%", "--", "0.00%", "--", "1.00%", "-0.50"]
    assert {fill_hex(cells[0, c]) for c in range(9)} == {"#eef2ff"}
    assert {fill_hex(cells[1, c]) for c in range(9)} == {"#ffffff"}
    assert {fill_hex(cells[2, c]) for c in range(9)} == {"#f8fafc"}
    assert {to_hex(cell.get_edgecolor()) for cell in cells.values()} == {"#e2e8f0"}
    colours = [to_hex(cells[2, c].get_text().get_color()) for c in range(9)]
    assert colours[1:5] == ["#1d4ed8"] * 4 and colours[5:] == ["#b91c1c"] * 4
    assert colours[0] == to_hex(plt.rcParams["text.color"])
    assert to_hex(cells[0, 3].get_text().get_color()) == "#0f172a"
    assert cells[0, 3].get_text().get_fontweight() == "bold"
    assert cells[1, 1].get_text().get_fontsize() == size
    assert [round(cells[1, c].get_width(), 3) for c in range(3)] == [0.08, 0.115, 0.115]
    assert ax.get_title() == "Yearly Strategy & Excess Metrics"
    assert ax.title.get_fontsize() == title_size and to_hex(ax.title.get_color()) == "#0f172a"
    assert not ax.axison
    plt.close(fig)


def test_yearly_metrics_table_without_rows_and_compact_by_name_only():
    fig = plt.figure()
    ax = fig.add_subplot()
    eng._draw_yearly_metrics_table(ax, pd.DataFrame())
    assert texts(ax) == ["No yearly metric data"]
    assert len(ax.tables) == 0 and ax.get_title() == "" and not ax.axison
    assert ax.texts[0].get_position() == (0.5, 0.5) and ax.texts[0].get_transform() == ax.transAxes
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(3 given\)"):
        eng._draw_yearly_metrics_table(ax, pd.DataFrame(), True)
    plt.close(fig)


# --- layouts and titles -----------------------------------------------------------------


@pytest.mark.parametrize("kind", ["large", "Long", ""])
def test_any_kind_but_long_gives_the_landscape_layout(saved, kind):
    daily, cum, bench = series(10)
    eng.plot_strategy_performance(daily, cum, bench, {}, plot_title="", image_kind=kind)
    fig, path, kwargs = saved[0]
    assert tuple(fig.get_size_inches()) == (20.0, 13.2)
    assert fig.get_constrained_layout()
    assert kwargs == {"bbox_inches": "tight", "dpi": 175, "facecolor": fig.get_facecolor()}
    assert path == "./strategy_backtest.png"
    assert fig.get_suptitle() == "strategy | Benchmark 000852 | Strategy Performance"
    assert fig.axes[7].get_title() == "Yearly Strategy & Excess Metrics"
    assert plt.get_fignums() == []  # closed after saving


def test_portrait_layouts_and_titles(saved):
    daily, cum, bench = series(10)
    eng.plot_strategy_performance(daily, cum, bench, {}, strategy_name="动量", plot_title=None, image_kind="long")
    eng.plot_weekly_net_value(daily, cum, bench, plot_title="周度", benchmark_name="000905", image_kind="long")
    (perf, _, perf_kw), (weekly, _, weekly_kw) = saved
    assert perf.get_suptitle() == "动量 | Benchmark 000852 | Strategy Performance"
    assert weekly.get_suptitle() == "周度 | Benchmark 000905 | Weekly Net Value"
    assert perf_kw == {"dpi": 145, "facecolor": perf.get_facecolor()}
    assert weekly_kw == {"dpi": 145, "facecolor": weekly.get_facecolor()}
    sp = perf.subplotpars
    assert (sp.left, sp.right, sp.top, sp.bottom) == (0.06, 0.94, 0.965, 0.035)
    sp = weekly.subplotpars
    assert (sp.left, sp.right, sp.top, sp.bottom) == (0.065, 0.965, 0.94, 0.055)
    assert [ax.get_title() for ax in perf.axes[1:6]] == [
        "Cumulative Return", "Excess Return & Drawdown", "Yearly Return", "Rolling Excess Stability", "Drawdown"]
    assert perf.axes[1].title.get_position()[1] == 1.0 and perf.axes[1]._axes_locator is None
    ax_nav, ax_dd = weekly.axes[:2]
    assert ax_dd.get_shared_x_axes().joined(ax_nav, ax_dd)
    assert [t.get_text() for t in ax_nav.get_legend().get_texts()] == ["Strategy NAV", "000905 NAV", "Excess NAV"]
    assert [t.get_text() for t in ax_dd.get_legend().get_texts()] == [
        "Strategy Drawdown", "000905 Drawdown", "Excess Drawdown"]


# --- the series drawn -------------------------------------------------------------------


def test_performance_panels_match_pandas(saved):
    daily, cum, bench = series(90)
    daily.iloc[5] = np.nan
    daily.iloc[20] = -np.inf
    cum = cum.copy()
    cum.iloc[:3] = np.nan  # earlier dates take the first value
    cum.iloc[40] = np.inf  # a gap takes the previous value
    bench = bench.drop(bench.index[::4])  # missing days count as 0
    copies = [s.copy() for s in (daily, cum, bench)]
    eng.plot_strategy_performance(daily, cum, bench, {})
    for before, after in zip(copies, (daily, cum, bench)):
        pd.testing.assert_series_equal(before, after)
    fig = saved[0][0]
    ax_cards, ax_cum, ax_excess, ax_year, ax_rolling, ax_drawdown, ax_table, ax_yt, ax_cum_dd, _, ax_roll_2 = fig.axes

    clean = daily.replace([np.inf, -np.inf], np.nan).dropna()
    c = cum.replace([np.inf, -np.inf], np.nan).dropna().reindex(clean.index).ffill().bfill()
    b = bench.reindex(clean.index).fillna(0.0)
    excess = clean - b
    ecn = excess.cumsum() - excess.cumsum().iloc[0]
    close = dict(rtol=1e-12, atol=1e-14)

    assert len(ax_cum.lines[0].get_xdata()) == len(clean) == 88
    np.testing.assert_allclose(ax_cum.lines[0].get_ydata(), c - 1, **close)
    np.testing.assert_allclose(ax_cum.lines[1].get_ydata(), (1 + b).cumprod() - 1, **close)
    np.testing.assert_allclose(ax_excess.lines[0].get_ydata(), ecn, **close)
    np.testing.assert_allclose(ax_drawdown.lines[0].get_ydata(), (ecn + 1) - (ecn + 1).cummax(), **close)
    strategy_dd = c - c.cummax()
    assert ax_cum_dd.collections[0].get_paths()[0].vertices[:, 1].min() == pytest.approx(strategy_dd.min())
    assert ax_cum_dd.get_zorder() == ax_cum.get_zorder() - 1 and not ax_cum.patch.get_visible()
    assert [t.get_text() for t in ax_cum.get_legend().get_texts()] == [
        "Strategy", "000852", "Strategy Drawdown", "000852 Drawdown"]

    window = excess.rolling(60)
    np.testing.assert_allclose(ax_rolling.lines[0].get_ydata(), window.mean() / window.std() * math.sqrt(252),
                               rtol=1e-9, atol=1e-12, equal_nan=True)
    win = window.apply(lambda w: np.mean(w > 0), raw=True)
    np.testing.assert_allclose(ax_roll_2.lines[0].get_ydata(), win, equal_nan=True)
    assert ax_rolling.lines[0].get_label() == "60D Excess Sharpe" and ax_roll_2.lines[0].get_label() == "60D Win Rate"

    frame = pd.DataFrame({"s": clean, "b": b, "e": excess})
    sums = frame.groupby(clean.index.year).sum()
    heights = [p.get_height() for p in ax_year.patches]
    np.testing.assert_allclose(heights, np.concatenate([sums["s"], sums["b"], sums["e"]]), **close)
    labels = [t for t in ax_year.texts]
    assert [t.get_text() for t in labels] == [eng._format_pct(v) for v in sums["e"]]
    assert [t.get_text() for t in ax_year.get_xticklabels() if t.get_text()] == [str(y) for y in sums.index]
    assert {to_hex(t.get_color()) for t in labels} == {"#991b1b"}


def test_short_series_and_single_day(saved):
    daily, cum, bench = series(18)
    eng.plot_strategy_performance(daily, cum, bench, {})
    assert saved[0][0].axes[4].lines[0].get_label() == "6D Excess Sharpe"  # 18 // 3
    daily, cum, bench = series(4)
    eng.plot_strategy_performance(daily, cum, bench, {})
    assert texts(saved[1][0].axes[4]) == ["Not enough data"]
    daily, cum, bench = series(1)
    eng.plot_strategy_performance(daily, cum, bench, {})
    fig = saved[2][0]
    assert list(fig.axes[2].lines[0].get_ydata()) == [0.0]
    assert list(fig.axes[5].lines[0].get_ydata()) == [0.0]


def test_benchmark_sharing_the_strategy_date_labels_is_aligned(saved):
    daily, cum, bench = series(8)
    labels = daily.index.strftime("%Y%m%d")
    as_text = [s.set_axis(labels) for s in (daily, cum, bench)]
    eng.plot_strategy_performance(*as_text, {})
    drawn = saved[0][0].axes[1].lines[1].get_ydata()
    np.testing.assert_allclose(drawn, (1 + bench.to_numpy()).cumprod() - 1)


def test_weekly_panels_read_the_weekly_frame(saved, monkeypatch):
    fridays = pd.date_range("2024-01-05", periods=3, freq="W-FRI")
    weekly = pd.DataFrame({"long": [1.0, 1.1, 1.05], "close_net_value": [1.0, 0.9, 0.95],
                           "extra_return": [0.0, 0.2, 0.1]}, index=fridays)
    weekly["extra_net_value"] = weekly["extra_return"] + 1
    calls = []
    monkeypatch.setattr(eng, "_build_weekly_net_value_frame", lambda *a: calls.append(a) or weekly)
    daily, cum, bench = series(15, start="2024-01-01")
    eng.plot_weekly_net_value(daily, cum, bench)
    assert calls == [(daily, cum, bench)]
    fig, _, kwargs = saved[0]
    assert tuple(fig.get_size_inches()) == (19.0, 9.2) and kwargs["bbox_inches"] == "tight"
    ax_nav, ax_dd, ax_table = fig.axes
    np.testing.assert_allclose(ax_nav.lines[0].get_ydata(), [1.0, 1.1, 1.05])
    np.testing.assert_allclose(ax_nav.lines[2].get_ydata(), [1.0, 1.2, 1.1])
    np.testing.assert_allclose(ax_dd.collections[0].get_paths()[0].vertices[:, 1].min(), -0.05)
    np.testing.assert_allclose(ax_dd.lines[0].get_ydata(), [0.0, -0.1, -0.05])
    np.testing.assert_allclose(ax_dd.lines[1].get_ydata(), [0.0, 0.0, -0.1])
    assert ax_dd.yaxis.get_major_formatter().xmax == 1.0
    cells = table_cells(ax_table)
    assert [cells[r, 0].get_text().get_text() for r in (0, 1)] == ["Year", "2024"] and (2, 0) not in cells

    monkeypatch.setattr(eng, "_build_weekly_net_value_frame", lambda *a: pd.DataFrame())
    eng.plot_weekly_net_value(daily, cum, bench)
    assert len(saved) == 1


class TestMalformedInput:
    """Inputs a caller can get wrong give Python errors, never a crash or bogus rows."""

    def test_yearly_table_from_a_series_is_an_error_not_a_crash(self):
        fig, ax = plt.subplots()
        columns = list(yearly_frame().columns)
        with pytest.raises(TypeError):
            eng._draw_yearly_metrics_table(ax, pd.Series([0.1] * (len(columns) + 1), index=[2020] + columns))
        plt.close(fig)

    def test_a_missing_date_makes_no_year_of_its_own(self, saved):
        idx = pd.DatetimeIndex(["2024-01-02", "2024-01-03", pd.NaT, "2025-01-02", "2025-01-03"])
        daily = pd.Series([0.01, -0.01, 0.02, 0.01, 0.01], index=idx)
        eng.plot_strategy_performance(daily, daily.cumsum() + 1, daily * 0, {}, save_path="x.png")
        fig = saved[0][0]
        labels = {t.get_text() for ax in fig.axes for t in ax.get_xticklabels()}
        assert {"2024", "2025"} <= labels and not any("-9223372036854775808" in t for t in labels)

    def test_a_frame_as_benchmark_is_a_value_error(self, saved):
        daily, cumulative, _ = series(30)
        with pytest.raises(ValueError, match="one-dimensional"):
            eng.plot_strategy_performance(daily, cumulative, daily.to_frame(), {}, save_path="x.png")
