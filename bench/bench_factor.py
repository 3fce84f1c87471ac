"""Benchmark of factor research on a random store of 2465 dates x 5000 stocks, a 20-day
reversal, periods (1, 5, 10), 5 groups. Side by side in one run, ratios printed:

1. ``evaluate(..., backtest=False)`` (ranks, ICs, decay, groups, group means, turnover,
   autocorrelation) against a plain vectorised numpy/pandas version of the same
   figures (goal: at least 3x) and, when its environment exists, alphalens-reloaded
   doing IC and group means (goal: at least 20x; it runs in its own virtual
   environment, ``--alphalens-python``, on the same data, never a dependency here).
2. The group backtests of all 5 groups in one label pass against ONE engine call of
   ``calc_strategy_vwap_daily_return`` on the same market (goal: at most 2x).
3. ``compare`` of 20 factors on 1 and on 2 threads (goal: at least 1.7x).

    python bench/bench_factor.py [--dates 2465] [--stocks 5000] [--keep DIR] [--parts 1,2,3]
                                 [--alphalens-python /path/to/venv/bin/python] [--compare-factors 20]

The machine may be shared: figures are wall times of one run (best of --repeat).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from _common import market_parser, timed
from tessary.backtest._prepare import PREPARED_DATA_VERSION, BinaryPreparedDataStore

PERIODS = (1, 5, 10)
GROUPS = 5
LAGS = 20


def write_store(path: Path, n_dates: int, n_stocks: int, seed: int = 0) -> None:
    rng = np.random.default_rng(seed)
    dates = pd.Index(pd.bdate_range("2015-01-05", periods=n_dates).strftime("%Y%m%d"))
    codes = pd.Index([f"{600000 + i:06d}" for i in range(n_stocks)])
    shape = (n_dates, n_stocks)
    close = 10.0 * np.exp(np.cumsum(rng.normal(0.0002, 0.02, size=shape), axis=0))
    opens = np.vstack([close[:1], close[:-1]]) * (1 + rng.normal(0, 0.004, shape))
    suspended = rng.random(shape) < 0.01
    close[suspended] = np.nan
    opens[suspended] = np.nan

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    data = {
        "close_price": frame(close),
        "open_price": frame(opens),
        "prev_close": frame(np.vstack([close[:1], close[:-1]])),
        "buy_price": frame(close * (1 + rng.normal(0, 0.002, shape))),
        "sell_price": frame(close * (1 + rng.normal(0, 0.002, shape))),
        "rq_get_split": frame(np.where(rng.random(shape) < 0.0005, 1.5, np.nan)),
        "rq_get_dividend": frame(np.where(rng.random(shape) < 0.002, 0.2, np.nan)),
        "can_buy_stock": frame(~suspended & (rng.random(shape) > 0.02)),
        "cant_sell_stock": frame(suspended | (rng.random(shape) < 0.02)),
        "industry_matrix": frame(np.tile(rng.integers(1, 31, n_stocks).astype(float), (n_dates, 1))),
        "benchmark_dict": {"000852": pd.Series(rng.normal(0.0002, 0.012, n_dates), index=dates)},
    }
    BinaryPreparedDataStore(path).write_payload({"version": PREPARED_DATA_VERSION, "meta": {}, "data": data})


def reversal(store: BinaryPreparedDataStore, window: int = 20) -> pd.DataFrame:
    close = store.load(keys=["close_price"], mmap=False)["data"]["close_price"]
    return -(close / close.shift(window) - 1)


# --------------------------------------------------------------------------- plain numpy


def _rank(values: np.ndarray) -> np.ndarray:
    return pd.DataFrame(values).rank(axis=1, method="average").to_numpy()


def _row_corr(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    n = (~np.isnan(a)).sum(axis=1).astype(float)
    ma = np.nansum(a, axis=1) / np.maximum(n, 1)
    mb = np.nansum(b, axis=1) / np.maximum(n, 1)
    da, db = a - ma[:, None], b - mb[:, None]
    cov = np.nansum(da * db, axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        out = cov / np.sqrt(np.nansum(da * da, axis=1) * np.nansum(db * db, axis=1))
    out[n < 5] = np.nan
    return out


def _ic(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    both = ~np.isnan(x) & ~np.isnan(y)
    return _row_corr(_rank(np.where(both, x, np.nan)), _rank(np.where(both, y, np.nan)))


def plain_numpy(factor: np.ndarray, opens, split, dividend, can_buy) -> dict:
    """The figures of evaluate(backtest=False), vectorised over dates with numpy/pandas."""
    days = len(factor)
    with np.errstate(invalid="ignore", divide="ignore"):
        good = np.isfinite(opens) & (opens > 0)
        r1 = np.full(opens.shape, np.nan)
        r1[:-1] = (opens[1:] * np.nan_to_num(split[1:], nan=1.0) + np.nan_to_num(dividend[1:], nan=0.0)) / opens[:-1] - 1
        r1[:-1][~(good[:-1] & good[1:])] = np.nan
    tradable = np.zeros(factor.shape, dtype=bool)
    tradable[:-1] = can_buy[1:]
    x = np.where(tradable, factor, np.nan)

    def ahead(a, k):
        out = np.full(a.shape, np.nan)
        out[:days - k] = a[k:]
        return out

    out = {"ic": {}, "group_mean": {}}
    rank_x = _rank(x)
    n = (~np.isnan(x)).sum(axis=1)
    # ordinal groups: ties by column order (a stable argsort)
    order = np.argsort(np.where(np.isnan(x), np.inf, x), axis=1, kind="stable")
    pos = np.empty_like(order)
    np.put_along_axis(pos, order, np.arange(x.shape[1])[None, :].repeat(days, 0), axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        labels = np.where(~np.isnan(x) & (n[:, None] >= GROUPS), pos * GROUPS // np.maximum(n, 1)[:, None] + 1, 0)
    growth = 1.0 + r1
    for h in PERIODS:
        fwd = np.ones(r1.shape)
        for k in range(1, h + 1):
            fwd = fwd * ahead(growth, k)
        fwd -= 1.0
        out["ic"][h] = _ic(x, fwd)
        means = []
        for g in range(1, GROUPS + 1):
            member = (labels == g) & ~np.isnan(fwd)
            with np.errstate(invalid="ignore", divide="ignore"):
                means.append(np.where(member, fwd, 0).sum(axis=1) / member.sum(axis=1))
        out["group_mean"][h] = np.nanmean(np.stack(means, axis=1), axis=0)
    out["decay"] = [np.nanmean(_ic(x, ahead(r1, 1 + k))) for k in range(LAGS)]
    out["autocorrelation"] = _ic(x, ahead(x, -1) if False else np.vstack([np.full((1, x.shape[1]), np.nan), x[:-1]]))
    kept = (labels[1:] == labels[:-1]) & (labels[1:] > 0)
    out["turnover"] = [1 - kept[labels[1:] == g].sum() for g in range(1, GROUPS + 1)]
    del rank_x
    return out


def kernels_ic_and_means(factor: np.ndarray, opens, split, dividend, can_buy) -> dict:
    """Only what alphalens is timed for (ICs and group means of the three periods), by
    the same kernels evaluate calls."""
    from tessary.factor import _factor_kernels as k

    tradable = np.zeros(factor.shape, dtype=bool)
    tradable[:-1] = can_buy[1:]
    mask = np.ascontiguousarray(tradable & ~np.isnan(factor))
    x = np.ascontiguousarray(np.where(mask, factor, np.nan))
    order, count = k.row_orders(x)
    ranks = k.masked_ranks(x, order, count, mask)
    labels = k.ordinal_groups(x, order, count, mask, GROUPS)
    r1 = k.one_day_returns(opens, split, dividend)
    own = np.arange(len(x), dtype=np.int64)
    ahead = np.where(own + 1 < len(x), own + 1, -1)
    out = {}
    for h in PERIODS:
        fwd, rows = (r1, ahead) if h == 1 else (k.compound(r1, h), own)
        fo, fc = k.row_orders(fwd)
        out[h] = (k.rank_corr(x, order, count, own, fwd, fo, fc, rows, mask, 5, ranks),
                  k.group_means(fwd, rows, labels, GROUPS))
    return out


# --------------------------------------------------------------------------- alphalens

_ALPHALENS = r"""
import sys, time, json, warnings
import pandas as pd
warnings.simplefilter("ignore")
import alphalens as al
prices = pd.read_parquet(sys.argv[1]); factor = pd.read_parquet(sys.argv[2])
prices.index = pd.to_datetime(prices.index); factor.index = pd.to_datetime(factor.index)
series = factor.stack(); series.index.names = ["date", "asset"]
t0 = time.perf_counter()
clean = al.utils.get_clean_factor_and_forward_returns(series, prices, quantiles=5, periods=(1, 5, 10), max_loss=1.0)
ic = al.performance.factor_information_coefficient(clean)
mean_q, _ = al.performance.mean_return_by_quantile(clean)
fr = al.performance.factor_returns(clean)
elapsed = time.perf_counter() - t0
print(json.dumps({"seconds": elapsed, "ic_mean": [float(v) for v in ic.mean()]}))
"""


def run_alphalens(python: str, opens: pd.DataFrame, factor: pd.DataFrame, scratch: Path) -> dict | None:
    if not python or not Path(python).exists():
        return None
    opens.to_parquet(scratch / "prices.parquet")
    factor.to_parquet(scratch / "factor.parquet")
    (scratch / "al.py").write_text(_ALPHALENS)
    done = subprocess.run([python, str(scratch / "al.py"), str(scratch / "prices.parquet"),
                           str(scratch / "factor.parquet")], capture_output=True, text=True)
    if done.returncode:
        print("alphalens failed:", done.stderr.strip().splitlines()[-1:], file=sys.stderr)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------- main


def verdict(ratio: float, goal: float, higher: bool = True) -> str:
    ok = ratio >= goal if higher else ratio <= goal
    return f"goal {'>=' if higher else '<='} {goal}x: {'met' if ok else 'NOT met'}"


def main() -> None:
    parser = market_parser()
    parser.add_argument("--alphalens-python", default=os.environ.get("ALPHALENS_PYTHON", "/tmp/al30/bin/python"))
    parser.add_argument("--compare-factors", type=int, default=20)
    parser.add_argument("--skip-plain", action="store_true", help="leave out the (slow) plain numpy version")
    parser.add_argument("--parts", default="1,2,3", help="the parts to run, e.g. 2 (part 2 needs part 1's groups, "
                        "computed without its comparisons when part 1 is left out)")
    args = parser.parse_args()
    parts = {int(p) for p in args.parts.split(",")}

    from tessary.factor import evaluate

    scratch = Path(tempfile.mkdtemp(prefix="bench_factor_"))
    path = Path(args.keep) if args.keep else scratch / "store"
    if not (path / "manifest.json").exists():
        t0 = time.perf_counter()
        write_store(path, args.dates, args.stocks)
        print(f"store of {args.dates} dates x {args.stocks} stocks written in {time.perf_counter() - t0:.1f} s")
    store = BinaryPreparedDataStore(path)
    factor = reversal(store)
    print(f"factor: 20-day reversal, {factor.shape[0]} dates x {factor.shape[1]} stocks; periods {PERIODS}, "
          f"{GROUPS} groups\n")

    # 1. evaluate without the backtests, against the plain numpy version
    t_eval, report = timed(lambda: evaluate(factor, store, periods=PERIODS, groups=GROUPS, backtest=False),
                           args.repeat if 1 in parts else 1)
    if 1 in parts:
        part_one(args, store, factor, report, t_eval, scratch)
    if 2 in parts:
        part_two(args, store, report)
    if 3 in parts:
        part_three(args, store)


def part_one(args, store, factor, report, t_eval, scratch) -> None:
    data = store.load(keys=["open_price", "rq_get_split", "rq_get_dividend", "can_buy_stock"], mmap=False)["data"]
    arrays = [data[k].to_numpy(dtype=float) for k in ("open_price", "rq_get_split", "rq_get_dividend")]
    print(f"evaluate (no backtests)   {t_eval:7.2f} s")
    if not args.skip_plain:
        t_numpy, plain = timed(
            lambda: plain_numpy(factor.to_numpy(), *arrays, data["can_buy_stock"].to_numpy(bool)), args.repeat)
        diff = max(float(np.nanmax(np.abs(report.ic[h].to_numpy() - plain["ic"][h]))) for h in PERIODS)
        print(f"plain numpy/pandas        {t_numpy:7.2f} s   ratio {t_numpy / t_eval:5.1f}x  "
              f"({verdict(t_numpy / t_eval, 3)}); largest IC difference {diff:.1e}")
    # The price of T given to alphalens is the open of T+1, so that its forward returns
    # start where ours do (without our split and dividend adjustment).
    al = run_alphalens(args.alphalens_python, data["open_price"].shift(-1), factor, scratch)
    contiguous = [np.ascontiguousarray(a) for a in arrays]
    t_same, _ = timed(lambda: kernels_ic_and_means(factor.to_numpy(), *contiguous,
                                                   data["can_buy_stock"].to_numpy(bool)), args.repeat)
    print(f"its kernels, ICs and group means only {t_same:6.2f} s (what alphalens is timed for)")
    if al:
        print(f"alphalens-reloaded vs the same work: ratio {al['seconds'] / t_same:5.1f}x "
              f"({verdict(al['seconds'] / t_same, 20)})")
        print(f"alphalens-reloaded        {al['seconds']:7.2f} s   ratio {al['seconds'] / t_eval:5.1f}x  "
              f"({verdict(al['seconds'] / t_eval, 20)}); its IC means {np.round(al['ic_mean'], 4).tolist()} vs "
              f"{np.round(report.ic_summary['ic_mean'].to_numpy(), 4).tolist()} (its returns unadjusted, "
              "its IC over all stocks with a value)")
    else:
        print("alphalens-reloaded        not available (no environment at --alphalens-python)")



def part_two(args, store, report) -> None:
    """2. the group backtests in one pass against one engine call."""
    from tessary.backtest._market_frames import ENGINE_DATASETS, aligned_market
    from tessary.backtest._pnl_engine import calc_strategy_vwap_daily_return
    from tessary.factor import _groups

    dates = report.ic.index.strftime("%Y%m%d")
    days = _groups.backtest_days(pd.Index(store.load(keys=["close_price"])["data"]["close_price"].index), dates, None)
    codes = report.group_labels.columns
    labels = np.ascontiguousarray(report.group_labels.to_numpy(dtype=np.int32))
    weight = _groups.group_weights(labels, GROUPS)
    held = _groups.carried_rows(days, pd.Index(dates))
    rates = dict(total_money=1e8, fee=1e-4, rule_fee=5e-4)
    loaded = store.load(start_date=days[0], end_date=days[-1], keys=list(ENGINE_DATASETS.values()), mmap=True)
    market = aligned_market(loaded["data"], days, codes)
    rows = _groups.market_rows(store, days, codes)
    member = report.group_labels.to_numpy() == 1
    weights = pd.DataFrame(np.where(member, weight[:, :1], np.nan), index=days, columns=codes)
    t_pass, _ = timed(lambda: _groups.label_daily_cash(rows, labels, weight, held, **rates), max(args.repeat, 3))
    t_engine, _ = timed(lambda: calc_strategy_vwap_daily_return(weights, **market, **rates), max(args.repeat, 3))
    cells = labels.shape[1] * (len(days) - 1)
    print(f"\n{GROUPS} group backtests, one pass {t_pass:7.2f} s (on the loaded market; "
          f"{t_pass / cells * 1e9:4.1f} ns per stock-day)")
    print(f"one engine call           {t_engine:7.2f} s   pass / engine {t_pass / t_engine:4.2f}x  "
          f"({verdict(t_pass / t_engine, 2, higher=False)}; {t_engine / cells * 1e9:4.1f} ns per stock-day)")
    t_full, _ = timed(lambda: _groups.group_daily_cash(store, days, codes, labels, weight, held, **rates), args.repeat)

    def engine_with_load():
        data = store.load(start_date=days[0], end_date=days[-1], keys=list(ENGINE_DATASETS.values()), mmap=True)
        return calc_strategy_vwap_daily_return(weights, **aligned_market(data["data"], days, codes), **rates)

    t_engine_full, _ = timed(engine_with_load, args.repeat)
    print(f"with the store's load: pass {t_full:5.2f} s, engine {t_engine_full:5.2f} s, ratio "
          f"{t_full / t_engine_full:4.2f}x")



def part_three(args, store) -> None:
    """3. compare on 1 and 2 threads."""
    from tessary.factor import compare

    factors = {f"rev{w}": reversal(store, w) for w in range(5, 5 + args.compare_factors)}
    t1, table = timed(lambda: compare(factors, store, periods=PERIODS, groups=GROUPS, threads=1))
    t2, table2 = timed(lambda: compare(factors, store, periods=PERIODS, groups=GROUPS, threads=2))
    same = table.equals(table2)
    print(f"\ncompare of {len(factors)} factors: 1 thread {t1:6.1f} s, 2 threads {t2:6.1f} s, speed-up {t1 / t2:4.2f}x "
          f"({verdict(t1 / t2, 1.7)}); tables equal: {same}")


if __name__ == "__main__":
    main()
