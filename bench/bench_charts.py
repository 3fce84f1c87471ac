"""Time both report figures on ten years of daily data in both layouts, and the share
of that time spent outside the plotting library's drawing and saving.

Run: python bench/bench_charts.py [--repeat N]

Two measures per figure (best of N runs each; images go to bench/out/, not versioned):

- "outside savefig": wall time of the whole call minus the wall time inside
  Figure.savefig (which lays out and draws the figure, twice with a tight bounding
  box, and writes the PNG), measured without a profiler. This counts the library's
  figure, axes and artist construction as "outside" too, so it is an upper bound.
- "outside matplotlib": under cProfile, the call's time minus the time of every
  matplotlib function it calls directly, i.e. the data preparation (pandas, the
  native kernels, the sibling statistics functions) and the native glue.
"""

from __future__ import annotations

import argparse
import cProfile
import pstats
import time
from pathlib import Path

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from tessary.backtest import _pnl_engine as eng

OUT = Path(__file__).resolve().parent / "out"
DAYS = 252 * 10
LIMIT = 0.10

STATS = {
    "annual_return": 15.2, "long_sharp": 1.23, "max_dd": -12.5, "extra_annual_return": 6.1, "extra_sharp": 0.8,
    "extra_max_dd": -5.3, "win_rate": 53.2, "excess_win_rate": 51.0, "turnover": 12.3,
    "benchmark_annual_return": 8.8, "benchmark_sharp": 0.45, "return_corr": 0.91, "holding_count": 12.6,
}


def ten_years(seed: int = 7):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2015-01-05", periods=DAYS)
    daily = pd.Series(rng.normal(0.0006, 0.012, DAYS), index=dates)
    bench = pd.Series(rng.normal(0.0003, 0.011, DAYS), index=dates)
    return daily, daily.cumsum() + 1, bench


class SavefigClock:
    """Wraps Figure.savefig to add up the wall time spent inside it."""

    def __init__(self):
        self.original = Figure.savefig
        self.seconds = 0.0

    def __enter__(self):
        original = self.original

        def timed(fig, *args, **kwargs):
            start = time.perf_counter()
            try:
                return original(fig, *args, **kwargs)
            finally:
                self.seconds += time.perf_counter() - start

        Figure.savefig = timed
        return self

    def __exit__(self, *exc):
        Figure.savefig = self.original


def outside_savefig(fn, args, kwargs) -> tuple[float, float]:
    """(total seconds, seconds inside savefig) of one unprofiled call."""
    with SavefigClock() as clock:
        start = time.perf_counter()
        fn(*args, **kwargs)
        total = time.perf_counter() - start
    return total, clock.seconds


def outside_matplotlib(fn, args, kwargs) -> tuple[float, float]:
    """(total, matplotlib) seconds of one call under cProfile. The figure code is
    native, so every Python function it calls is a direct callee of the call."""
    def call():
        fn(*args, **kwargs)

    prof = cProfile.Profile()
    prof.runcall(call)
    stats = pstats.Stats(prof).stats
    # The native entry point is not recorded itself: what it calls is attributed to
    # the wrapper that called it.
    entry = next(key for key in stats if key[2] == "call" and key[0] == __file__)
    total = stats[entry][3]
    in_mpl = 0.0
    for key, (_, _, _, cumtime, callers) in stats.items():
        if entry in callers and "/matplotlib/" in key[0].replace("\\", "/"):
            in_mpl += callers[entry][3]
    return total, in_mpl


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    repeat = parser.parse_args().repeat
    OUT.mkdir(exist_ok=True)
    daily, cum, bench = ten_years()
    # Warm-up: imports, font cache, style sheet.
    eng.plot_weekly_net_value(daily.iloc[:30], cum.iloc[:30], bench.iloc[:30], save_path=OUT / "warmup.png")

    print(f"{'figure (10 years)':<22}{'total s':>9}{'savefig s':>11}{'outside savefig':>17}{'outside matplotlib':>20}")
    worst = 0.0
    for kind in ("large", "long"):
        for name, fn, args in (("performance", eng.plot_strategy_performance, (daily, cum, bench, STATS)),
                               ("weekly", eng.plot_weekly_net_value, (daily, cum, bench))):
            kwargs = {"save_path": OUT / f"{name}_{kind}.png", "image_kind": kind}
            total, saving = min((outside_savefig(fn, args, kwargs) for _ in range(repeat)), key=lambda r: r[0])
            p_total, p_mpl = min((outside_matplotlib(fn, args, kwargs) for _ in range(repeat)), key=lambda r: r[0])
            share = (total - saving) / total
            worst = max(worst, share)
            print(f"{name + '/' + kind:<22}{total:>9.2f}{saving:>11.2f}{share:>17.1%}"
                  f"{(p_total - p_mpl) / p_total:>20.1%}")
    verdict = "within" if worst <= LIMIT else "ABOVE"
    print(f"largest share outside savefig: {worst:.1%} ({verdict} the {LIMIT:.0%} limit)")


if __name__ == "__main__":
    main()
