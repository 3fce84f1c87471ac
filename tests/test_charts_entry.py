"""Chart entry points: image sizes and saving options, reported paths, early exits
and the plot lock (serialised across threads, re-entrant, free after a failure)."""

import struct
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _pnl_engine as eng


def series(n=30, seed=0, start="2023-03-01"):
    rng = np.random.default_rng(seed)
    idx = pd.bdate_range(start, periods=n)
    daily = pd.Series(rng.normal(0.001, 0.01, n), index=idx)
    bench = pd.Series(rng.normal(0.0005, 0.01, n), index=idx)
    return daily, daily.cumsum() + 1, bench


STATS = {"annual_return": 12.0, "long_sharp": 1.1, "max_dd": -8.0, "holding_count": 20.0}


def png_info(path):
    """(width, height, dots per inch) from a PNG's IHDR and pHYs chunks."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    pos = data.index(b"pHYs")
    per_metre = struct.unpack(">I", data[pos + 4 : pos + 8])[0]
    return width, height, round(per_metre * 0.0254)


# --- rendered images (kept to three: rendering is slow) ----------------------------


def test_portrait_layouts_have_exact_pixel_sizes(tmp_path):
    daily, cum, bench = series()
    main = tmp_path / "main.png"
    weekly = tmp_path / "weekly.png"
    eng.plot_strategy_performance(daily, cum, bench, STATS, save_path=main, image_kind="long")
    eng.plot_weekly_net_value(daily, cum, bench, save_path=str(weekly), image_kind="long")
    # 15.5 x 34 and 15.5 x 12.4 inches at 145 dpi, no tight bounding box.
    assert png_info(main) == (int(15.5 * 145), 34 * 145, 145)
    assert png_info(weekly) == (int(15.5 * 145), int(12.4 * 145), 145)


def test_landscape_weekly_image_is_saved_tight_at_175_dpi(tmp_path):
    daily, cum, bench = series()
    out = tmp_path / "weekly.png"
    eng.plot_weekly_net_value(daily, cum, bench, save_path=out, image_kind="large")
    width, height, dpi = png_info(out)
    assert dpi == 175
    # Cropped to the drawn content, so not the full 19.0 x 9.2 inch canvas.
    assert (width, height) != (19 * 175, int(9.2 * 175))
    assert 0.8 * 19 * 175 < width <= 19.2 * 175


# --- reported paths and early exits ----------------------------------------------


def test_reported_path_is_the_str_itself_or_the_path_string(tmp_path):
    daily = pd.Series([np.nan, np.inf, -np.inf], index=pd.bdate_range("2024-01-01", periods=3))
    cum = pd.Series([1.0, 1.0, 1.0], index=daily.index)
    text = str(tmp_path / "main.png")
    got = eng.plot_strategy_performance(daily, cum, daily, {}, save_path=text)
    assert got == {"main": text} and got["main"] is text
    as_path = tmp_path / "weekly.png"
    got = eng.plot_weekly_net_value(daily.iloc[:0], cum.iloc[:0], daily.iloc[:0], save_path=as_path)
    assert got == {"weekly_net_value": str(as_path)} and type(got["weekly_net_value"]) is str
    # Nothing to draw: no file, yet the path is reported.
    assert list(tmp_path.iterdir()) == []


def test_nothing_to_draw_still_applies_the_plot_settings(tmp_path):
    import matplotlib.pyplot as plt

    plt.rcParams["axes.unicode_minus"] = True
    daily, cum, bench = series()
    eng.plot_strategy_performance(daily, cum.iloc[:0], bench, {}, save_path=tmp_path / "x.png")
    assert not (tmp_path / "x.png").exists()
    assert plt.rcParams["axes.unicode_minus"] is False
    assert plt.rcParams["font.sans-serif"][0] == "Noto Sans CJK SC"
    assert plt.get_backend().lower() == "agg"


def test_default_weekly_path_is_relative_to_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    calls = []
    monkeypatch.setattr(eng, "_plot_weekly_net_value_unlocked", lambda **kw: calls.append(kw))
    daily, cum, bench = series(5)
    assert eng.plot_weekly_net_value(daily, cum, bench) == {"weekly_net_value": "./strategy_weekly_net_value.png"}
    assert calls[0]["save_path"] == "./strategy_weekly_net_value.png"


def test_figure_functions_receive_every_argument_by_keyword(monkeypatch):
    calls = []
    monkeypatch.setattr(eng, "_plot_strategy_performance_unlocked", lambda *a, **kw: calls.append((a, kw)))
    daily, cum, bench = series(5)
    stats = {"turnover": 1.0}
    path = Path("report.png")
    assert eng.plot_strategy_performance(daily, cum, bench, stats, "s", None, path, "long") == {"main": "report.png"}
    args, kwargs = calls[0]
    assert args == ()
    assert list(kwargs) == ["daily_return", "cumulative_return", "benchmark_daily_return", "stats", "strategy_name",
                            "plot_title", "save_path", "image_kind", "benchmark_name"]
    assert kwargs["stats"] is stats and kwargs["save_path"] is path and kwargs["daily_return"] is daily
    assert kwargs["benchmark_name"] == "000852"


def test_argument_types_are_checked_before_the_lock(monkeypatch):
    monkeypatch.setattr(eng, "_MATPLOTLIB_PLOT_LOCK", None)  # any use of the lock would fail differently
    daily, cum, bench = series(5)
    with pytest.raises(TypeError, match=r"^Argument 'stats' has incorrect type \(expected dict, got list\)$"):
        eng.plot_strategy_performance(daily, cum, bench, [])
    with pytest.raises(TypeError, match=r"expected str, got NoneType"):
        eng.plot_weekly_net_value(daily, cum, bench, image_kind=None)
    with pytest.raises(TypeError, match="takes at least 3 positional arguments"):
        eng.plot_weekly_net_value(daily, cum)


# --- the plot lock ----------------------------------------------------------------


def test_lock_serialises_figures_of_both_kinds_across_threads(monkeypatch):
    active, peak, order = [0], [0], []
    guard = threading.Lock()

    def slow(**kwargs):
        with guard:
            active[0] += 1
            peak[0] = max(peak[0], active[0])
            order.append(kwargs["strategy_name"])
        time.sleep(0.05)
        with guard:
            active[0] -= 1

    monkeypatch.setattr(eng, "_plot_strategy_performance_unlocked", slow)
    monkeypatch.setattr(eng, "_plot_weekly_net_value_unlocked", slow)
    daily, cum, bench = series(5)

    def work(i):
        if i % 2:
            eng.plot_strategy_performance(daily, cum, bench, {}, strategy_name=f"s{i}")
        else:
            eng.plot_weekly_net_value(daily, cum, bench, strategy_name=f"s{i}")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert sorted(order) == [f"s{i}" for i in range(6)]
    assert peak[0] == 1


def test_lock_is_free_after_a_failing_figure_and_reentrant(monkeypatch):
    def failing(**kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(eng, "_plot_strategy_performance_unlocked", failing)
    daily, cum, bench = series(5)
    with pytest.raises(OSError, match="disk full"):
        eng.plot_strategy_performance(daily, cum, bench, {})

    # An error raised by native code carries no traceback; the lock is left all the same.
    monkeypatch.setattr(eng, "_plot_strategy_performance_unlocked", int)
    with pytest.raises(TypeError, match="keyword argument"):
        eng.plot_strategy_performance(daily, cum, bench, {})

    def probe():
        lock = eng._MATPLOTLIB_PLOT_LOCK
        ok = lock.acquire(timeout=2)
        if ok:
            lock.release()
        acquired.append(ok)

    acquired = []
    other = threading.Thread(target=probe)
    other.start()
    other.join()
    assert acquired == [True]

    # A figure function that draws another chart from inside the lock does not deadlock.
    inner = []
    monkeypatch.setattr(eng, "_plot_weekly_net_value_unlocked", lambda **kw: inner.append(kw["save_path"]))

    def nested(**kwargs):
        inner.append(eng.plot_weekly_net_value(daily, cum, bench, save_path="w.png"))

    monkeypatch.setattr(eng, "_plot_strategy_performance_unlocked", nested)
    done = []
    t = threading.Thread(target=lambda: done.append(eng.plot_strategy_performance(daily, cum, bench, {})))
    t.start()
    t.join(5)
    assert done == [{"main": "./strategy_backtest.png"}]
    assert inner == ["w.png", {"weekly_net_value": "w.png"}]
