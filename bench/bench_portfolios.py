"""Many portfolios in one pass over the market, against one engine call per portfolio,
on a random store of 2465 dates x 5000 stocks (the factor benchmark's store). Side by
side in one run, ratios printed, every result checked against the engine to the bit:

1. K = 10 and K = 40 momentum portfolios (lookback x share x rebalance), each under one
   cost variant: ``batch_returns`` (one pass) against K ``calc_strategy_vwap_daily_return``
   calls.
2. 100 combinations on one thread, 4 momentum weight matrices x rolling_window 5 x fee 5:
   100 ``run_strategy_backtest_core`` calls on the precomputed weights (the whole
   backtest: smoothing, returns, statistics) against the smoothing of the 20 traded
   weight matrices plus ONE ``batch_returns`` call for all 100 (goal: at least 4x;
   the statistics of the batched rows are the sweep's part and not timed here), and
   against 100 engine return calls (the returns alone).

    python bench/bench_portfolios.py [--dates 2465] [--stocks 5000] [--keep DIR] [--sizes 10,40]

The machine may be shared: figures are wall times of one run (best of --repeat).
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import sys
import tempfile
import time
from itertools import product
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _common import market_parser  # noqa: E402
from bench_factor import write_store  # noqa: E402

from tessary.backtest._prepare import BinaryPreparedDataStore  # noqa: E402

FEES = [0.0, 1e-4, 2e-4, 3e-4, 5e-4]
WINDOWS = [0, 1, 3, 5, 10]


def best(fn, repeat: int):
    out, times = None, []
    for _ in range(repeat):
        started = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - started)
    return min(times), out


def momentum_sets(k: int) -> list[dict]:
    sets = [dict(lookback=lb, share=sh, rebalance=rb)
            for lb, sh, rb in product([5, 10, 20, 40, 60, 120, 250, 15, 30, 90], [0.05, 0.1], [1, 5])]
    return sets[:k]


def main() -> None:
    parser = market_parser()
    parser.add_argument("--sizes", default="10,40", help="numbers of portfolios of part 1")
    args = parser.parse_args()

    from tessary.backtest import _records
    from tessary.backtest._market_frames import ENGINE_DATASETS, aligned_market
    from tessary.backtest._pnl_engine import calc_strategy_vwap_daily_return, run_strategy_backtest_core
    from tessary.strategies import momentum
    from tessary.sweep._batch_returns import batch_returns

    path = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="bench_portfolios_")) / "store"
    if not (path / "manifest.json").exists():
        write_store(path, args.dates, args.stocks)
    store = BinaryPreparedDataStore(path)
    data = store.load(mmap=False)["data"]
    index, columns = data["close_price"].index, data["close_price"].columns
    loaded = store.load(keys=list(ENGINE_DATASETS.values()), mmap=True)["data"]
    market = aligned_market(loaded, index, columns)
    sizes = [int(k) for k in args.sizes.split(",")]
    started = time.perf_counter()
    weights = [momentum(data, **params).reindex(index=index, columns=columns).fillna(0.0)
               for params in momentum_sets(max(sizes + [4]))]
    density = np.mean([(w.to_numpy() > 0).mean() for w in weights])
    print(f"store {len(index)} dates x {len(columns)} stocks; {len(weights)} momentum weight matrices in "
          f"{time.perf_counter() - started:.1f} s, {density:.1%} of their cells held\n")
    rates = dict(total_money=1e8, fee=1e-4, rule_fee=5e-4)

    # 1. K portfolios: one pass against K engine calls
    for k in sizes:
        works = weights[:k]
        costs = [[(rates["total_money"], rates["fee"], rates["rule_fee"])]] * k
        t_pass, (values, _) = best(lambda: batch_returns(works, market, costs), args.repeat)
        t_engine, singles = best(lambda: [calc_strategy_vwap_daily_return(w, **market, **rates).to_numpy()
                                          for w in works], args.repeat)
        same = all(v[0].tobytes() == s.tobytes() for v, s in zip(values, singles))
        print(f"K = {k:3d}: one pass {t_pass:6.2f} s, {k} engine calls {t_engine:6.2f} s: "
              f"{t_engine / t_pass:5.2f}x; per portfolio {t_pass / k * 1e3:6.1f} ms against "
              f"{t_engine / k * 1e3:6.1f} ms; equal to the bit: {same}")

    # 2. 100 combinations on one thread
    raw = weights[:4]
    plan = list(product(range(4), WINDOWS))

    def core_calls():
        return [run_strategy_backtest_core(raw[j], **market, rolling_window=w, fee=f, plot_image_kind=None)
                for (j, w), f in product(plan, FEES)]

    def batched():
        works = [_records.smooth_weights(raw[j], rolling_window=w) for j, w in plan]
        costs = [[(1e8, f, 5e-4) for f in FEES]] * len(works)
        return batch_returns(works, market, costs)

    t_core, results = best(core_calls, 1)
    t_batch, (values, _) = best(batched, args.repeat)
    t_smooth, smoothed = best(lambda: [_records.smooth_weights(raw[j], rolling_window=w) for j, w in plan], 1)
    costs = [[(1e8, f, 5e-4) for f in FEES]] * len(smoothed)
    t_pass, _ = best(lambda: batch_returns(smoothed, market, costs), args.repeat)
    t_fee_paths, _ = best(lambda: [_records.fee_path_returns(w, **market, fees=FEES, rule_fees=[5e-4] * len(FEES))
                                   for w in smoothed], 1)
    t_returns, singles = best(lambda: [calc_strategy_vwap_daily_return(smoothed[c // len(FEES)], **market,
                                                                        fee=FEES[c % len(FEES)]).to_numpy()
                                       for c in range(len(plan) * len(FEES))], 1)
    same = all(values[c // len(FEES)][c % len(FEES)].tobytes() == s.tobytes() for c, s in enumerate(singles))
    same_core = all(np.array_equal(values[c // len(FEES)][c % len(FEES)], r.daily_return.to_numpy(), equal_nan=True)
                    for c, r in enumerate(results)) if hasattr(results[0], "daily_return") else "n/a"
    ratio = t_core / t_batch
    print(f"\n100 combinations (4 weight matrices x rolling_window {len(WINDOWS)} x fee {len(FEES)}) on one thread:")
    print(f"  100 run_strategy_backtest_core calls {t_core:6.2f} s ({100 / t_core:5.1f} a second)")
    print(f"  100 engine return calls              {t_returns:6.2f} s ({100 / t_returns:5.1f} a second)")
    print(f"  20 smoothings + one batch            {t_batch:6.2f} s ({100 / t_batch:5.1f} a second): "
          f"{ratio:5.2f}x the core calls ({'meets' if ratio >= 4 else 'misses'} the goal of 4x), "
          f"{t_returns / t_batch:5.2f}x the return calls; equal to the bit: {same}; to the core's returns: "
          f"{same_core}")
    print(f"  of which the 20 smoothings {t_smooth:6.2f} s and the batch {t_pass:6.2f} s; one fee-path pass per "
          f"weight matrix instead of the batch {t_fee_paths:6.2f} s ({t_fee_paths / t_pass:4.2f}x the batch)")


if __name__ == "__main__":
    main()
