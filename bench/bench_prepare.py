"""Timings of the prepared-data builder on a full-size market (prints ratios).

    python bench/bench_prepare.py [--days 2520] [--stocks 5000] [--skip-build]

1. Pivoting one narrow factor answer (suffixed codes, dashed dates) with
   `_tsy_factors_to_matrices` against the plain pandas sequence of the same steps.
2. The forward-return rank cache of the derivation against pandas' row rank.
3. Time and peak memory of build() and build_incremental() with an in-memory client.

Answers are assembled from shared Arrow buffers, so a 12.6-million-row answer
costs little more than its value column.
"""

from __future__ import annotations

import argparse
import gc
import resource
import threading
import time

import numpy as np
import pandas as pd
import pyarrow as pa

from _common import timed
from tessary import singleton
from tessary.backtest import _prepare as prep

STR = pd.StringDtype("pyarrow", na_value=np.nan)


def rss_mib() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


class PeakRss:
    """Samples the resident set size every 10 ms while the block runs."""

    def __enter__(self):
        self.peak = self.start = rss_mib()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        return self

    def _run(self):
        while not self._stop.wait(0.01):
            self.peak = max(self.peak, rss_mib())

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, rss_mib())


class Layout:
    """Row layout shared by every factor answer: date-major, all stocks per day."""

    def __init__(self, n_days: int, n_stocks: int):
        days = pd.bdate_range("2014-01-02", periods=n_days)
        self.dates = list(days.strftime("%Y%m%d"))
        self.codes = [f"{i:06d}" for i in range(1, n_stocks + 1)]
        suffixed = pa.array([c + (".XSHG" if c.startswith("6") else ".XSHE") for c in self.codes], pa.large_string())
        dashed = pa.array(list(days.strftime("%Y-%m-%d")), pa.large_string())
        self.ukey = suffixed.take(pa.array(np.tile(np.arange(n_stocks, dtype=np.int32), n_days)))
        self.date = dashed.take(pa.array(np.repeat(np.arange(n_days, dtype=np.int32), n_stocks)))
        self.rows = n_days * n_stocks

    def frame(self, values_by_name: dict[str, np.ndarray]) -> pd.DataFrame:
        """A narrow answer: the shared key columns once per factor, chunk by chunk."""
        names = list(values_by_name)
        ukey = pa.chunked_array([self.ukey] * len(names))
        date = pa.chunked_array([self.date] * len(names))
        value = np.concatenate([values_by_name[n].reshape(-1) for n in names]) if len(names) > 1 else values_by_name[names[0]].reshape(-1)
        factor = pd.Categorical.from_codes(np.repeat(np.arange(len(names), dtype=np.int8), self.rows), categories=names)
        return pd.DataFrame({"ukey": STR.__from_arrow__(ukey), "date": STR.__from_arrow__(date), "value": value,
                             "factor": factor}, copy=False)


def pandas_pivot(df: pd.DataFrame, names: list[str]) -> dict[str, pd.DataFrame]:
    """The reference sequence of steps in plain pandas."""
    d = df.copy().rename(columns={"date": "DataDate", "value": "x", "factor": "factorname"})
    d["ukey"] = d["ukey"].astype(str).str[:6]
    d["DataDate"] = pd.to_datetime(d["DataDate"], errors="coerce").dt.strftime("%Y%m%d")
    d["x"] = pd.to_numeric(d["x"], errors="coerce")
    d["factorname"] = d["factorname"].astype(str)
    out = {n: pd.DataFrame() for n in names}
    for name, part in d.groupby("factorname", sort=False, observed=True):
        if name not in out:
            continue
        part = part[["DataDate", "ukey", "x"]].dropna(subset=["ukey", "DataDate", "x"])
        part = part.drop_duplicates(subset=["ukey", "DataDate"], keep="last")
        out[name] = prep.clean_matrix(part.pivot(index="DataDate", columns="ukey", values="x"))
    return out


class MemoryClient:
    """Answers every factor from one random matrix per name, sharing the key columns."""

    def __init__(self, layout: Layout, seed: int = 0):
        rng = np.random.default_rng(seed)
        n_days, n_stocks = len(layout.dates), len(layout.codes)
        self.layout = layout
        close = 10 + np.abs(rng.standard_normal((n_days, n_stocks)).cumsum(axis=0))
        self.values = {
            "rq_industry_exposure_new": rng.integers(1, 30, (n_days, n_stocks)).astype(float),
            "limit_down": close * 0.9,
            "limit_up": close * 1.1,
            "Close": close,
            "Open": close * (1 + 0.01 * rng.standard_normal((n_days, n_stocks))),
            "tick_vwap_price_935_1005": close * 1.001,
            "tick_vwap_price_925_1000": close * 0.999,
            "split_coefficient_to": np.where(rng.random((n_days, n_stocks)) < 0.001, 15.0, np.nan),
            "rq_get_dividend": np.where(rng.random((n_days, n_stocks)) < 0.004, 2.0, np.nan),
            "rq_is_suspended": np.where(rng.random((n_days, n_stocks)) < 0.02, 0.0, 1.0),
        }
        for name in prep.COMPONENT_FACTOR_NAMES:
            self.values[name] = (rng.random((n_days, n_stocks)) < 0.3).astype(float)
        self.index = pd.DataFrame({
            "ukey": np.repeat(list(prep.BENCHMARK_INDEX_CODES.values()), n_days),
            "date": layout.dates * 3,
            "close": 1000 + np.abs(rng.standard_normal(3 * n_days).cumsum()),
        })

    def get_factors(self, factor, start_date, end_date):
        names = [factor] if isinstance(factor, str) else list(factor)
        return self.layout.frame({n: self.values[n] for n in names})

    def get_index_daily(self, ukeys, start_date, end_date):
        return self.index


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--days", type=int, default=2520)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--skip-build", action="store_true")
    args = parser.parse_args()

    layout = Layout(args.days, args.stocks)
    client = MemoryClient(layout)
    builder = prep.GroupPreparedDataBuilder("20140101", "20241231")
    print(f"{args.days} dates x {args.stocks} stocks = {layout.rows:,} rows per factor")

    # 1. Pivot of one narrow answer.
    answer = layout.frame({"Close": client.values["Close"]})
    t_native, native = timed(lambda: builder._tsy_factors_to_matrices(answer, ["Close"]), repeat=2, collect=True)
    t_pandas, reference = timed(lambda: pandas_pivot(answer, ["Close"]))
    pd.testing.assert_frame_equal(native["Close"], reference["Close"])
    print(f"pivot:  native {t_native:6.2f} s   pandas {t_pandas:6.2f} s   ratio {t_pandas / t_native:5.1f}x")
    del answer, native, reference

    # 2. Forward-return rank cache (only the open matrix is non-empty).
    open_ = pd.DataFrame(client.values["Open"], index=layout.dates, columns=layout.codes)
    source = {name: pd.DataFrame() for name in prep.BUILD_INPUT_NAMES}
    source["Open"] = open_
    t_rank, derived = timed(lambda: builder._build_from_matrices(source)["forward_return_rank_cache"], repeat=3,
                            collect=True)
    forward = (open_.shift(-2) / open_.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
    t_pd_rank, expected = timed(lambda: forward.rank(axis=1, method="average"))
    t_pd_all, _ = timed(lambda: (open_.shift(-2) / open_.shift(-1) - 1).replace([np.inf, -np.inf], np.nan)
                        .rank(axis=1, method="average"))
    pd.testing.assert_frame_equal(derived, expected)
    print(f"rank:   native {t_rank:6.2f} s   pandas rank {t_pd_rank:6.2f} s (with the forward return "
          f"{t_pd_all:6.2f} s)   ratio {t_pd_rank / t_rank:5.1f}x")
    del open_, source, derived, forward, expected

    if args.skip_build:
        return
    # 3. Whole builds through the in-memory client.
    previous = singleton.set_instance(client)
    try:
        for label, run in (("build()", builder.build), ("build_incremental()", builder.build_incremental)):
            gc.collect()
            with PeakRss() as mem:
                t0 = time.perf_counter()
                payload = run()
                elapsed = time.perf_counter() - t0
            print(f"{label:20s} {elapsed:6.1f} s   peak RSS {mem.peak / 1024:5.1f} GiB "
                  f"(+{(mem.peak - mem.start) / 1024:4.1f} GiB over {mem.start / 1024:4.1f} GiB before)")
            del payload
    finally:
        singleton.set_instance(previous)


if __name__ == "__main__":
    main()
