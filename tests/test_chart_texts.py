"""User texts on the charts are bounded: an enormous strategy name, title or benchmark
name is cut with an ellipsis instead of growing the image with the text."""

import struct

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from tessary.backtest import _pnl_engine as eng  # noqa: E402


@pytest.fixture
def saved(monkeypatch):
    out = []
    monkeypatch.setattr(Figure, "savefig", lambda self, path, **kw: out.append(self))
    yield out
    plt.close("all")


def series(n=30, seed=0):
    rng = np.random.default_rng(seed)
    idx = pd.bdate_range("2023-01-02", periods=n)
    daily = pd.Series(rng.normal(0.001, 0.01, n), index=idx)
    return daily, daily.cumsum() + 1, pd.Series(rng.normal(0.0, 0.01, n), index=idx)


def legend_texts(fig):
    return [t.get_text() for ax in fig.axes if ax.get_legend() for t in ax.get_legend().get_texts()]


@pytest.mark.parametrize("kind, width", [("long", 30), ("large", 56)])
def test_names_are_cut_to_the_layouts_width_with_an_ellipsis(saved, kind, width):
    daily, cum, bench = series()
    bench_name = "B" * 3000
    eng.plot_strategy_performance(daily, cum, bench, {}, strategy_name="S" * 5000, plot_title=None,
                                  image_kind=kind, benchmark_name=bench_name)
    eng.plot_weekly_net_value(daily, cum, bench, plot_title="策" * 5000, image_kind=kind, benchmark_name=bench_name)
    perf, weekly = saved
    short_bench = "B" * 11 + "…"
    assert perf.get_suptitle() == "S" * (width - 1) + "… | Benchmark " + short_bench + " | Strategy Performance"
    # a wide (CJK) character takes two columns
    assert weekly.get_suptitle() == "策" * ((width - 1) // 2) + "… | Benchmark " + short_bench + " | Weekly Net Value"
    labels = legend_texts(perf) + legend_texts(weekly)
    assert short_bench in labels and all(len(text) < 40 for text in labels)
    assert not any(bench_name in t.get_text() for ax in perf.axes for t in ax.texts)


def test_texts_that_fit_are_kept_and_control_characters_become_blanks(saved):
    daily, cum, bench = series()
    eng.plot_weekly_net_value(daily, cum, bench, strategy_name="x" * 30, image_kind="long", benchmark_name="b" * 12)
    eng.plot_weekly_net_value(daily, cum, bench, plot_title="a\nb\tc", image_kind="long")
    assert saved[0].get_suptitle() == "x" * 30 + " | Benchmark " + "b" * 12 + " | Weekly Net Value"
    assert saved[1].get_suptitle().startswith("a b c | ")


def png_size(path):
    with open(path, "rb") as fh:
        head = fh.read(24)
    return struct.unpack(">II", head[16:24])


def test_an_enormous_name_does_not_widen_the_saved_image(tmp_path):
    daily, cum, bench = series(60)
    sizes = []
    for i, name in enumerate(["short", "M" * 100_000]):
        path = tmp_path / f"p{i}.png"
        eng.plot_strategy_performance(daily, cum, bench, {}, strategy_name=name, plot_title=None,
                                      save_path=path, image_kind="large", benchmark_name="W" * 100_000)
        sizes.append(png_size(path))
    (w0, h0), (w1, h1) = sizes
    assert h1 == h0 and w1 <= w0 * 1.1, sizes
