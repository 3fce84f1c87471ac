"""Speed of the strategy pipeline and of the statistics against plain pandas/numpy.

Runs both implementations side by side on the same synthetic market (2520 dates x
5000 stocks, one benchmark by default), checks that they agree, and prints the
best-of-N wall times and their ratios:

    python bench/bench_stats_pipeline.py [--dates 2520] [--stocks 5000] [--repeat 3]
                                         [--layout F|C|mixed|store]

--layout other than the default F (every frame column-major, as pandas builds them)
also times the pipeline without charts on frames of that layout (see
bench/layout_frames.py; store: memory-mapped frames from a binary prepared-data
store with weights built by pandas) side by side against all-column-major in-memory
copies of the same values, and prints the ratio.
"""

from __future__ import annotations

import os

# Both sides run on one thread. An idle BLAS thread pool spins after numpy's dot
# products and takes the second core from whatever runs next.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import sys

import numpy as np
import pandas as pd

from tessary.backtest import _core
from tessary.backtest import _pnl_engine as eng

sys.path.insert(0, os.path.dirname(__file__))
from _common import timed  # noqa: E402
from layout_frames import LAYOUTS, market_in_layout, relaid, side_by_side, store_dir  # noqa: E402


# --- plain pandas/numpy versions of the same steps -------------------------------


def plain_vwap_daily_return(signal_matrix, can_buy_stock, cant_sell_stock, split_factor, dividend_factor,
                            close_price, prev_close, buy_price, sell_price, total_money=1e8, fee=0.0001,
                            rule_fee=0.0005, lot_size=200):
    """The VWAP daily-return algorithm as a per-day numpy loop over whole rows."""
    signal = signal_matrix.shift(1)
    source_index, columns = signal_matrix.index, signal_matrix.columns
    if len(source_index) < 2:
        return pd.Series(dtype=float)
    pnl_index = source_index[1:]
    market = _core._build_market_arrays(pnl_index, columns, can_buy_stock, cant_sell_stock, split_factor,
                                        dividend_factor, close_price, prev_close, buy_price, sell_price)
    # Row-major copies, so that the day loop reads contiguous rows.
    arr = {k: np.ascontiguousarray(v) for k, v in market.items()}
    signal_arr = np.ascontiguousarray(signal.reindex(index=pnl_index, columns=columns).to_numpy(dtype=float))
    prev_close_arr = arr["prev_close_arr"]
    with np.errstate(divide="ignore", invalid="ignore"):
        raw = total_money * signal_arr / (prev_close_arr * lot_size)
    valid = (signal_arr > 0) & np.isfinite(prev_close_arr) & (prev_close_arr > 0)
    target = np.where(valid, np.floor(raw) * lot_size, 0.0)
    real_target = np.zeros(len(columns))
    daily_cash = np.zeros(len(pnl_index))
    for i in range(len(pnl_index)):
        diff = target[i] - real_target
        real_buy = np.where((diff > 0) & arr["can_buy_arr"][i], diff, 0.0)
        sell = np.where((diff < 0) & ~arr["cant_sell_arr"][i], -diff, 0.0)
        hold = real_target - sell
        real_target = hold + real_buy
        close_row, prev_row = arr["close_arr"][i], prev_close_arr[i]
        split_eff = np.nan_to_num(arr["split_arr"][i], nan=1.0)
        dividend_eff = np.nan_to_num(arr["dividend_arr"][i], nan=0.0)
        buy_coeff = np.nan_to_num(close_row - arr["buy_price_arr"][i] * (1 + fee), nan=0.0)
        hold_coeff = np.nan_to_num(split_eff * close_row - prev_row, nan=0.0)
        sell_coeff = np.nan_to_num(split_eff * arr["sell_price_arr"][i] * (1 - fee - rule_fee) - prev_row, nan=0.0)
        daily_cash[i] = (real_buy @ buy_coeff + hold @ hold_coeff + hold @ dividend_eff + sell @ sell_coeff
                         + sell @ dividend_eff)
    return pd.Series(daily_cash / total_money, index=pnl_index)


def plain_strategy_stats(total_frame, signal_df):
    df = total_frame.dropna(subset=["daily_return", "index_daily_return"]).copy()
    nan = float("nan")
    if df.empty:
        return dict.fromkeys(STATS_KEYS, nan)
    df["extra_daily_return"] = df["daily_return"] - df["index_daily_return"]
    df["cumulative_return"] = df["daily_return"].cumsum() + 1
    first_close = df["close"].iloc[0] if "close" in df.columns else nan
    if not np.isnan(first_close) and first_close > 0:
        df["benchmark_net_value"] = df["close"] / first_close
    else:
        df["benchmark_net_value"] = df["index_daily_return"].cumsum() + 1
    df["extra_cumulative_return"] = df["extra_daily_return"].cumsum()
    df["max_drawdown"] = df["cumulative_return"] - df["cumulative_return"].cummax()
    extra_nav = df["extra_cumulative_return"] + 1
    df["extra_max_drawdown"] = extra_nav - extra_nav.cummax()
    n_days = len(df)
    years = n_days / 252
    out = {
        "annual_return": (df["cumulative_return"].iloc[-1] - 1) / years * 100,
        "long_sharp": _core.safe_sharpe(df["daily_return"], periods=252),
        "max_dd": abs(df["max_drawdown"].min()) * 100,
        "extra_annual_return": df["extra_cumulative_return"].iloc[-1] / years * 100,
        "extra_sharp": _core.safe_sharpe(df["extra_daily_return"], periods=252),
        "extra_max_dd": abs(df["extra_max_drawdown"].min()) * 100,
        "benchmark_annual_return": (df["benchmark_net_value"].iloc[-1] - 1) / years * 100,
        "benchmark_sharp": _core.safe_sharpe(df["index_daily_return"], periods=252),
        "return_corr": df["daily_return"].corr(df["index_daily_return"]),
        "win_rate": (df["daily_return"] > 0).sum() / n_days * 100,
        "excess_win_rate": (df["extra_daily_return"] > 0).sum() / n_days * 100,
        "holding_count": nan,
        "turnover": nan,
    }
    if signal_df is not None and len(signal_df) > 0:
        aligned = signal_df.reindex(df.index)
        out["holding_count"] = (aligned.notna() & aligned.ne(0)).sum(axis=1).mean()
        if len(signal_df) >= 2:
            change = aligned.fillna(0).diff().abs().sum(axis=1)
            out["turnover"] = change.mean() / 2 * 100
    return out


STATS_KEYS = ["annual_return", "long_sharp", "max_dd", "extra_annual_return", "extra_sharp", "extra_max_dd",
              "benchmark_annual_return", "benchmark_sharp", "return_corr", "win_rate", "excess_win_rate",
              "holding_count", "turnover"]


def plain_pipeline(strategy_matrix, market, benchmark_dict, benchmark_names="000852", rolling_window=0):
    if rolling_window > 0:
        work = strategy_matrix.rolling(window=rolling_window, min_periods=1).mean()
        work.iloc[0] = strategy_matrix.iloc[0]
    else:
        work = strategy_matrix
    daily_return = plain_vwap_daily_return(work, **market)
    cumulative_return = daily_return.cumsum() + 1
    total_frame = pd.DataFrame({"daily_return": daily_return, "index_daily_return": daily_return * 0})
    rows = []
    for name, bm in benchmark_dict.items():
        aligned = bm.reindex(daily_return.index, fill_value=0.0)
        excess = daily_return.sub(aligned, fill_value=0)
        excess_cum = excess.cumsum()
        rows.append({
            "benchmark_name": name,
            "benchmark_annual_return": aligned.mean() * 252,
            "excess_annual_return": excess.mean() * 252,
            "excess_sharpe": _core.safe_sharpe(excess, periods=252),
            "excess_max_dd": (excess_cum - excess_cum.cummax()).min(),
        })
        if name == benchmark_names:
            total_frame["index_daily_return"] = bm.reindex(daily_return.index, fill_value=0)
    stats = plain_strategy_stats(total_frame, work)
    return daily_return, cumulative_return, stats, pd.DataFrame(rows)


# --- synthetic market ----------------------------------------------------------


def make_market(n_dates, n_stocks, seed=7):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2014-01-02", periods=n_dates).strftime("%Y%m%d")
    codes = [f"{i:06d}" for i in range(n_stocks)]

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=codes)

    log_ret = rng.normal(0.0003, 0.02, (n_dates, n_stocks))
    close = 10.0 * np.exp(np.cumsum(log_ret, axis=0))
    prev_close = np.vstack([close[:1], close[:-1]])
    buy = close * (1 + rng.normal(0, 0.003, close.shape))
    sell = close * (1 + rng.normal(0, 0.003, close.shape))
    split = np.full(close.shape, np.nan)
    split[rng.random(close.shape) < 0.0005] = 1.5
    dividend = np.full(close.shape, np.nan)
    dividend[rng.random(close.shape) < 0.001] = 0.2
    # About 300 held names, a tenth of them replaced each day.
    held = rng.random(n_stocks) < 300 / n_stocks
    weights = np.full(close.shape, np.nan)
    for i in range(n_dates):
        flip = rng.random(n_stocks) < 0.03
        held = np.where(flip, ~held, held)
        weights[i, held] = 1.0 / max(held.sum(), 1)
    market = {
        "can_buy_stock": frame(rng.random(close.shape) > 0.02),
        "cant_sell_stock": frame(rng.random(close.shape) < 0.02),
        "split_factor": frame(split),
        "dividend_factor": frame(dividend),
        "close_price": frame(close),
        "prev_close": frame(prev_close),
        "buy_price": frame(buy),
        "sell_price": frame(sell),
    }
    benchmark = pd.Series(rng.normal(0.0002, 0.012, n_dates), index=dates)
    return frame(weights), market, {"000852": benchmark}


def assert_stats_close(native, plain):
    assert list(native) == STATS_KEYS
    for key in STATS_KEYS:
        np.testing.assert_allclose(native[key], plain[key], rtol=1e-9, atol=1e-12, err_msg=key)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dates", type=int, default=2520)
    parser.add_argument("--stocks", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--window", type=int, default=5)
    parser.add_argument("--layout", choices=LAYOUTS, default="F")
    args = parser.parse_args()
    if args.layout != "F":
        compare_layout(args)

    weights, market, benchmarks = make_market(args.dates, args.stocks)
    print(f"{args.dates} dates x {args.stocks} stocks, one benchmark, rolling_window={args.window}")

    t_native, result = timed(lambda: eng.run_strategy_backtest_core(
        weights, **market, benchmark_dict=benchmarks, rolling_window=args.window), args.repeat)
    t_plain, (daily, cum, stats, summary) = timed(lambda: plain_pipeline(
        weights, market, benchmarks, rolling_window=args.window), max(1, args.repeat - 1))
    np.testing.assert_allclose(result.daily_return.to_numpy(), daily.to_numpy(), rtol=1e-9, atol=1e-12)
    assert_stats_close(result.stats, stats)
    pd.testing.assert_frame_equal(result.benchmark_summary, summary, rtol=1e-9)
    print(f"run_strategy_backtest_core  native {t_native * 1e3:9.1f} ms   plain {t_plain * 1e3:9.1f} ms"
          f"   ratio {t_plain / t_native:6.1f}x")

    total_frame = pd.DataFrame({"daily_return": result.daily_return,
                                "index_daily_return": benchmarks["000852"].reindex(result.daily_return.index)})
    smoothed = weights.rolling(args.window, min_periods=1).mean()
    smoothed.iloc[0] = weights.iloc[0]
    t_native, native_stats = timed(lambda: eng.calc_strategy_stats(total_frame, smoothed), args.repeat)
    t_plain, plain_stats = timed(lambda: plain_strategy_stats(total_frame, smoothed), args.repeat)
    assert_stats_close(native_stats, plain_stats)
    print(f"calc_strategy_stats         native {t_native * 1e3:9.1f} ms   plain {t_plain * 1e3:9.1f} ms"
          f"   ratio {t_plain / t_native:6.1f}x")


def compare_layout(args):
    """The pipeline without charts on frames of `args.layout` against all-column-major
    in-memory copies of the same values, side by side."""
    weights, market, benchmarks = make_market(args.dates, args.stocks)
    with store_dir() as scratch:
        weights, market = market_in_layout(market, weights, args.layout, scratch)
        in_memory = {k: relaid(v, "F") for k, v in market.items()}
        in_memory_weights = relaid(weights, "F")

        def pipeline(w, m):
            return lambda: eng.run_strategy_backtest_core(w, **m, benchmark_dict=benchmarks,
                                                          rolling_window=args.window, plot_save_path=None)

        case, reference = pipeline(weights, market), pipeline(in_memory_weights, in_memory)
        same = case().daily_return.to_numpy().tobytes() == reference().daily_return.to_numpy().tobytes()
        print(f"layout {args.layout}: daily returns identical to the bit: {same}")
        side_by_side(f"pipeline (rolling_window={args.window}, no charts), layout {args.layout}", reference, case,
                     per=max(1, args.repeat))
        del market, in_memory


if __name__ == "__main__":
    main()
