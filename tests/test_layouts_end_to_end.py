"""The engine, the statistics and the pipeline give the same bits whatever the memory
layout of each of their input frames: column-major (what pandas builds), row-major,
strided (no unit stride) and read-only memory maps (what the binary store hands
out), one input at a time, in random mixes, and straight from a store."""

import numpy as np
import pandas as pd
import pytest

from reference.vwap import random_market
from tessary.backtest import _pnl_engine as pe
from tessary.backtest._market_frames import INPUT_FRAMES
from tessary.store import BinaryPreparedDataStoreBase

KEYS = list(INPUT_FRAMES)
MARKET_KEYS = KEYS[1:]
LAYOUTS = "FCSM"


class Layouts:
    """Copies of frames with their values laid out as asked: "F" column-major, "C"
    row-major, "S" every other row and column of a larger array, "M" a read-only
    memory map of a .npy file."""

    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.count = 0

    def values(self, values: np.ndarray, layout: str) -> np.ndarray:
        if layout == "F":
            return np.asfortranarray(values)
        if layout == "C":
            return np.ascontiguousarray(values)
        if layout == "S":
            big = np.zeros((2 * values.shape[0], 2 * values.shape[1]), dtype=values.dtype)
            big[::2, ::2] = values
            return big[::2, ::2]
        self.count += 1
        path = self.tmp_path / f"m{self.count}.npy"
        np.save(path, np.ascontiguousarray(values))
        return np.load(path, mmap_mode="r")

    def frame(self, frame: pd.DataFrame, layout: str) -> pd.DataFrame:
        out = pd.DataFrame(self.values(frame.to_numpy(), layout), index=frame.index, columns=frame.columns,
                           copy=False)
        held = out.to_numpy(copy=False)
        # The frame must really hold the layout asked for, or the test proves nothing.
        assert {"F": held.flags.f_contiguous and held.ndim == 2 and held.shape[0] > 1,
                "C": held.flags.c_contiguous,
                "S": not held.flags.c_contiguous and not held.flags.f_contiguous,
                "M": not held.flags.writeable and held.flags.c_contiguous}[layout] or held.shape[0] == 1
        return out

    def frames(self, frames: dict, layouts: str) -> dict:
        return {k: self.frame(frames[k], layout) for k, layout in zip(KEYS, layouts)}


def bits(series: pd.Series) -> bytes:
    return series.to_numpy(dtype=np.float64).tobytes()


@pytest.fixture
def layouts(tmp_path):
    return Layouts(tmp_path)


@pytest.fixture(scope="module", params=[False, True], ids=["plain", "special"])
def market(request):
    # Several blocks of stocks, days no multiple of a vector. The special values make
    # some days' sums NaN or infinite, which would hide an error in another stock of
    # the same day: the plain market has every day finite.
    frames = random_market(37, 150, seed=21, special=request.param)
    if not request.param:
        assert np.isfinite(pe.calc_strategy_vwap_daily_return(**frames, **KW).to_numpy()).all()
    return frames


KW = dict(total_money=3e6, fee=0.0003, rule_fee=0.001, lot_size=100)


class TestEngine:
    def test_each_input_in_each_layout(self, market, layouts):
        want = bits(pe.calc_strategy_vwap_daily_return(**layouts.frames(market, "F" * 9), **KW))
        for base in "FM":
            for k in range(9):
                for layout in LAYOUTS:
                    mix = base * k + layout + base * (8 - k)
                    got = pe.calc_strategy_vwap_daily_return(**layouts.frames(market, mix), **KW)
                    assert bits(got) == want, mix

    def test_random_mixes(self, market, layouts):
        want = bits(pe.calc_strategy_vwap_daily_return(**market, **KW))
        rng = np.random.default_rng(3)
        for _ in range(12):
            mix = "".join(rng.choice(list(LAYOUTS), 9))
            got = pe.calc_strategy_vwap_daily_return(**layouts.frames(market, mix), **KW)
            assert bits(got) == want, mix

    @pytest.mark.parametrize("shape", [(2, 1), (9, 8), (17, 67)])
    def test_small_shapes(self, layouts, shape):
        frames = random_market(*shape, seed=shape[1])
        want = bits(pe.calc_strategy_vwap_daily_return(**frames, **KW))
        for mix in ("C" * 9, "M" * 9, "F" + "M" * 8, "S" * 9, "CFSMCFSMC"):
            assert bits(pe.calc_strategy_vwap_daily_return(**layouts.frames(frames, mix), **KW)) == want, mix


def run(frames, **kw):
    """The pipeline with smoothing, its nine frames by position."""
    return pe.run_strategy_backtest_core(*(frames[k] for k in KEYS), rolling_window=5, **kw)


class TestWeightPasses:
    def test_stats_and_pipeline_in_each_layout(self, layouts):
        # Finite returns: the net value and statistics of infinite ones only warn.
        market = random_market(37, 150, seed=22, special=False)
        market["signal_matrix"].iloc[3:9, 4:40] = np.nan
        tf = pd.DataFrame({"daily_return": np.linspace(-0.01, 0.01, 36), "index_daily_return": 0.001},
                          index=market["signal_matrix"].index[1:])
        want_stats = pe.calc_strategy_stats(tf, market["signal_matrix"])
        want = run(market)
        for layout in LAYOUTS:
            signal = layouts.frame(market["signal_matrix"], layout)
            got_stats = pe.calc_strategy_stats(tf, signal)
            assert np.array(list(got_stats.values())).tobytes() == np.array(list(want_stats.values())).tobytes()
            for market_layout in "FM":
                frames = layouts.frames(market, layout + market_layout * 8)
                got = run(frames)
                assert bits(got.daily_return) == bits(want.daily_return), (layout, market_layout)
                assert np.array(list(got.stats.values())).tobytes() == np.array(list(want.stats.values())).tobytes()


    def test_stats_on_dates_with_gaps_in_each_layout(self, layouts):
        signal = random_market(50, 70, seed=4)["signal_matrix"]
        # Dates out of the signal's order, one repeated and a few it lacks.
        dates = signal.index[[5, 3, 3, 40, 41, 42, 10]].append(pd.Index(["20991231", "20991230"]))
        dates = dates.append(signal.index[20:45])
        tf = pd.DataFrame({"daily_return": 0.001, "index_daily_return": 0.0}, index=dates)
        want = pe.calc_strategy_stats(tf, signal)
        for layout in LAYOUTS:
            got = pe.calc_strategy_stats(tf, layouts.frame(signal, layout))
            assert np.array(list(got.values())).tobytes() == np.array(list(want.values())).tobytes(), layout


class TestFromStore:
    def test_store_frames_with_pandas_built_weights(self, tmp_path):
        frames = random_market(40, 90, seed=8, special=False)
        dtypes = {k: ("bool" if k in ("can_buy_stock", "cant_sell_stock") else "float64") for k in MARKET_KEYS}
        store = BinaryPreparedDataStoreBase(tmp_path / "store", dtypes, 1, "float64")
        store.write_payload({"version": 1, "meta": {}, "data": {k: frames[k] for k in MARKET_KEYS}})
        loaded = store.load(mmap=True)["data"]
        held = loaded["close_price"].to_numpy(copy=False)
        # Mapped rows: each date's stocks side by side, rows a little apart (spare columns).
        assert not held.flags.writeable and held.strides[1] == held.itemsize
        # Weights as a user builds them with pandas: column-major, from the mapped frames.
        momentum = loaded["close_price"].pct_change(fill_method=None)
        weights = momentum.rank(axis=1, pct=True).where(lambda r: r > 0.7) / 30.0
        # Which layout pandas gives them depends on its version (pandas 3 column-major,
        # pandas 2 row-major here): both are checked.
        built = weights.to_numpy()
        variants = [weights, pd.DataFrame(np.asfortranarray(built), index=weights.index, columns=weights.columns),
                    pd.DataFrame(np.ascontiguousarray(built), index=weights.index, columns=weights.columns)]

        in_memory = {k: pd.DataFrame(np.asfortranarray(frames[k].to_numpy()), index=frames[k].index,
                                     columns=frames[k].columns) for k in MARKET_KEYS}
        for w in variants:
            want = pe.calc_strategy_vwap_daily_return(w, **in_memory, **KW)
            got = pe.calc_strategy_vwap_daily_return(w, **loaded, **KW)
            assert bits(got) == bits(want)
            want_run = pe.run_strategy_backtest_core(w, **in_memory, rolling_window=5)
            got_run = pe.run_strategy_backtest_core(w, **loaded, rolling_window=5)
            assert bits(got_run.daily_return) == bits(want_run.daily_return)
            assert np.array(list(got_run.stats.values())).tobytes() == np.array(list(want_run.stats.values())).tobytes()
