"""The strategy kernels and the built-in strategies against plain pandas."""

import threading
import time

import numpy as np
import pandas as pd
import pytest

from reference import strategies as ref
from sweep_market import random_market
from tessary.strategies import _strategy_kernels as kernels
from tessary.strategies import daily_total_return, momentum, reversal, rolling_sum, top_share_weights

nan = np.nan


def random_values(rng, n, m, layout="C"):
    x = rng.normal(0, 0.02, size=(n, m)) * 10.0 ** rng.integers(-2, 3, size=(n, m))
    x[rng.random((n, m)) < 0.2] = nan
    x[rng.random((n, m)) < 0.01] = rng.choice([np.inf, -np.inf])
    x[5 : n // 2, 0] = 0.1  # a long run of one value, as a suspended stock's zero return gives
    x[:, -1] = nan  # a stock never present
    return np.asarray(x, order=layout)


def read_only(a):
    a = a.copy(order="K")
    a.flags.writeable = False
    return a


class TestRollingSum:
    @pytest.mark.parametrize("layout", ["C", "F"])
    def test_equals_pandas_to_the_bit(self, layout):
        rng = np.random.default_rng(3)
        for n, m in [(1, 1), (7, 3), (500, 23)]:
            values = read_only(random_values(rng, n, m, layout))
            frame = pd.DataFrame(values)
            for window, min_periods in [(1, 1), (1, 0), (2, 1), (5, 0), (20, 13), (60, 40), (60, 60), (800, 1)]:
                expected = ref.rolling_sum(frame, window, min_periods).to_numpy()
                got = kernels.rolling_sum(values, window, min_periods)
                np.testing.assert_array_equal(got, expected, err_msg=f"{n}x{m} window {window}/{min_periods}")

    def test_frame_wrapper_keeps_labels_and_rejects_bad_windows(self):
        frame = pd.DataFrame(np.arange(12.0).reshape(4, 3), index=list("abcd"), columns=["000002", "000001", "600000"])
        pd.testing.assert_frame_equal(rolling_sum(frame, 2), frame.rolling(2).sum())
        integers = pd.DataFrame({"a": [1, 2, 3, 4], "b": [5, 6, 7, 8]})  # converted, not misread
        pd.testing.assert_frame_equal(rolling_sum(integers, 3, 1), integers.rolling(3, min_periods=1).sum())
        for window, min_periods in [(0, 0), (3, 4), (3, -1)]:
            with pytest.raises(ValueError):
                kernels.rolling_sum(frame.to_numpy(), window, min_periods)


class TestTotalReturn:
    def test_equals_pandas(self):
        market = random_market(n_dates=60, n_stocks=12, seed=4)
        market["prev_close"].iloc[3, 2] = 0.0  # a division by zero gives NaN, not inf
        market["rq_get_split"].iloc[4, 5] = 2.0
        expected = ref.total_return(market["close_price"], market["prev_close"], market["rq_get_split"],
                                    market["rq_get_dividend"])
        got = daily_total_return(market)
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
        assert np.isnan(got.iloc[3, 2])

    def test_mismatched_shapes_are_refused(self):
        a = np.zeros((3, 2))
        with pytest.raises(ValueError, match="prev has shape"):
            kernels.total_return(a, np.zeros((2, 2)), a, a)


class TestSelection:
    def scores(self, rng, n=40, m=30):
        # Few distinct values, so that ties are common; columns not in code order.
        values = rng.integers(0, 6, size=(n, m)).astype(float)
        values[rng.random((n, m)) < 0.25] = nan
        values[rng.random((n, m)) < 0.02] = np.inf  # not finite: never a candidate
        codes = [f"{c:06d}" for c in rng.permutation(np.arange(600000, 600000 + m))]
        return pd.DataFrame(values, index=pd.RangeIndex(n), columns=codes)

    @pytest.mark.parametrize("largest", [True, False])
    @pytest.mark.parametrize("share,min_count", [(0.1, 3), (0.5, 1), (1.0, 2), (0.2, 25)])
    def test_top_share_equals_a_stable_sort_by_code(self, largest, share, min_count):
        rng = np.random.default_rng(5)
        score = self.scores(rng)
        eligible = pd.DataFrame(rng.random(score.shape) > 0.1, index=score.index, columns=score.columns)
        pick = np.zeros(len(score), dtype=bool)
        pick[::3] = True
        rank = np.argsort(np.argsort(score.columns.to_numpy(dtype=str))).astype(np.int64)
        present = pd.DataFrame(np.where(rng.random(score.shape) < 0.1, nan, 1.0), index=score.index, columns=score.columns)
        chosen, count = kernels.top_share(score.to_numpy(), pick, rank, share, min_count, largest, eligible.to_numpy(),
                                          present.to_numpy())
        want_chosen, want_count = ref.top_share(score, pick, share, min_count, largest, eligible & present.notna())
        np.testing.assert_array_equal(count, want_count)
        got = pd.DataFrame(chosen, index=score.index, columns=score.columns).sort_index(axis=1)
        pd.testing.assert_frame_equal(got, want_chosen)

    def test_equal_weights_and_hold_forward_equal_pandas(self):
        rng = np.random.default_rng(6)
        chosen = pd.DataFrame(rng.random((30, 8)) < 0.3)
        count = rng.integers(0, 4, size=30).astype(np.int64)
        weights = kernels.equal_weights(chosen.to_numpy(), count)
        expected = ref.equal_weights(chosen, count)
        np.testing.assert_array_equal(weights, expected.to_numpy())
        for layout in ("C", "F"):
            held = kernels.hold_forward(read_only(np.asarray(weights, order=layout)), 0.0)
            np.testing.assert_array_equal(held, ref.hold_forward(expected, 0.0).to_numpy())
        in_place = weights.copy()
        assert kernels.hold_forward(in_place, 0.0, out=in_place) is None
        np.testing.assert_array_equal(in_place, ref.hold_forward(expected, 0.0).to_numpy())
        raw = random_values(rng, 50, 6, "F")
        np.testing.assert_array_equal(kernels.hold_forward(raw, -1.0), ref.hold_forward(pd.DataFrame(raw), -1.0).to_numpy())

    def test_top_share_weights_holds_between_rebalances(self):
        score = pd.DataFrame([[3.0, 1.0, 2.0], [1.0, 3.0, 2.0], [1.0, 2.0, 3.0], [nan, nan, 1.0], [0.0, 0.0, 0.0]],
                             columns=["000003", "000001", "000002"])
        weights = top_share_weights(score, share=0.34, rebalance=2, min_holdings=1)
        # Row 0 picks 000003; row 2 picks the top of 3 -> 000002; row 4: a three-way tie goes to the lowest code.
        expected = [[1, 0, 0], [1, 0, 0], [0, 0, 1], [0, 0, 1], [0, 1, 0]]
        np.testing.assert_array_equal(weights.to_numpy(), np.array(expected, dtype=float))

    def test_bad_arguments_are_refused(self):
        score = np.zeros((3, 2))
        with pytest.raises(ValueError, match="pick"):
            kernels.top_share(score, np.ones(2, dtype=bool), np.arange(2), 0.5, 1, True)
        with pytest.raises(ValueError, match="permutation"):
            kernels.top_share(score, np.ones(3, dtype=bool), np.array([0, 5]), 0.5, 1, True)
        with pytest.raises(ValueError, match="share"):
            kernels.top_share(score, np.ones(3, dtype=bool), np.arange(2), 0.0, 1, True)


@pytest.fixture(scope="module")
def market():
    return random_market(n_dates=260, n_stocks=80, seed=7)


class TestStrategies:
    def test_momentum_defaults_are_the_demo_strategy(self, market):
        from reference.strategies import demo_momentum

        pd.testing.assert_frame_equal(momentum(market), demo_momentum(market), check_exact=True)

    @pytest.mark.parametrize("lookback,share,rebalance", [(20, 0.05, 1), (120, 0.3, 10)])
    def test_momentum_and_reversal_equal_pandas(self, market, lookback, share, rebalance):
        min_days = (2 * lookback) // 3
        for strategy, largest in ((momentum, True), (reversal, False)):
            got = strategy(market, lookback=lookback, share=share, rebalance=rebalance)
            expected = ref.ranked_weights(market, lookback, share, rebalance, min_days, 5, largest)
            pd.testing.assert_frame_equal(got, expected, check_exact=True)

    def test_inputs_are_not_mutated_and_bad_parameters_are_refused(self, market):
        before = {k: v.copy() for k, v in market.items() if isinstance(v, pd.DataFrame)}
        momentum(market)
        for key, frame in before.items():
            pd.testing.assert_frame_equal(market[key], frame)
        for kwargs, error in [({"lookback": 0}, ValueError), ({"lookback": 2.5}, TypeError), ({"share": 1.5}, ValueError),
                              ({"rebalance": True}, TypeError), ({"lookback": 5, "min_days": 6}, ValueError)]:
            with pytest.raises(error):
                momentum(market, **kwargs)
        with pytest.raises(KeyError, match="close_price"):
            momentum({"prev_close": market["prev_close"]})

    def test_kernels_release_the_gil(self):
        """While a thread is inside a long kernel call, this thread keeps running Python
        code at a good part of its usual pace (it would stall if the GIL were held)."""
        values = np.random.default_rng(0).normal(size=(3000, 3000))
        started, finished = threading.Event(), threading.Event()

        def spin(seconds):
            ticks, end = 0, time.perf_counter() + seconds
            while time.perf_counter() < end:
                ticks += 1
            return ticks / seconds

        def work():
            started.set()
            for _ in range(3):  # long enough that a held GIL would stall this thread for good
                kernels.rolling_sum(values, 60, 40)
            finished.set()

        alone = spin(0.2)
        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        ticks, begun = 0, time.perf_counter()
        while not finished.is_set():
            ticks += 1
            time.perf_counter()  # the same work per tick as in spin()
        elapsed = time.perf_counter() - begun
        worker.join()
        # Held, the pace falls near 0 (about 1 %); released, it stays near half or more.
        assert ticks / elapsed > 0.1 * alone, (ticks, elapsed, alone)
