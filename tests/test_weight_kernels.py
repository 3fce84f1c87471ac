"""The native passes over weight matrices against pandas on random data: holding count
and turnover (through calc_strategy_stats) and the rolling smoothing (through
smooth_weights and the pipeline, whose return engine is replaced by a recorder)."""

import numpy as np
import pandas as pd
import pytest

from reference.weights import holding_and_turnover, smoothing
from tessary.backtest import _pnl_engine as eng
from tessary.backtest import _records

nan = np.nan


def random_weights(rng, n, m, layout="F"):
    w = rng.random((n, m)) * 10.0 ** rng.integers(-3, 2, (n, m)) * rng.choice([-1.0, 1.0], (n, m), p=[0.1, 0.9])
    w[rng.random((n, m)) < 0.3] = nan
    w[rng.random((n, m)) < 0.15] = 0.0
    w[rng.random((n, m)) < 0.01] = np.inf
    # Runs of one weight, as held positions produce.
    w[: n // 3, 0] = 0.125
    values = np.asarray(w, order=layout)
    return pd.DataFrame(values, index=pd.bdate_range("2020-01-01", periods=n), copy=False)


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("alignment", ["consecutive", "gaps"])
def test_holding_and_turnover_match_pandas(layout, alignment):
    rng = np.random.default_rng(11)
    for n, m in [(2, 1), (40, 7), (300, 33)]:
        signal = random_weights(rng, n, m, layout)
        assert signal.to_numpy().flags[f"{layout}_CONTIGUOUS"]
        if alignment == "consecutive":  # the signal dates less the first, as the pipeline passes them
            dates = signal.index[1:]
        else:  # a few dates the signal lacks, one it has dropped by a NaN return
            dates = signal.index[1:].append(pd.bdate_range("2030-01-01", periods=3))
        tf = pd.DataFrame({"daily_return": rng.normal(0, 0.01, len(dates)), "index_daily_return": 0.0}, index=dates)
        if alignment == "gaps":
            tf.iloc[len(tf) // 2, 0] = nan
        before = signal.copy()
        out = eng.calc_strategy_stats(tf, signal)
        pd.testing.assert_frame_equal(signal, before)
        holding, turnover = holding_and_turnover(tf.dropna().index, signal)
        assert out["holding_count"] == holding
        np.testing.assert_allclose(out["turnover"], turnover, rtol=1e-13)


def test_holding_and_turnover_other_dtypes():
    dates = pd.bdate_range("2020-01-01", periods=5)
    tf = pd.DataFrame({"daily_return": 0.0, "index_daily_return": 0.0}, index=dates)
    ints = pd.DataFrame({"a": [1, 0, 2, 2, 0], "b": [0, 0, 0, 3, 3]}, index=dates)
    nullable = ints.astype("Float64").where(ints != 2, pd.NA)
    for signal in (ints, nullable):
        out = eng.calc_strategy_stats(tf, signal)
        holding, turnover = holding_and_turnover(dates, signal.astype(float))
        assert out["holding_count"] == holding and out["turnover"] == pytest.approx(turnover)
    # Text dates on one side and datetimes on the other share no date: nothing held.
    text = pd.DataFrame({"a": [1.0] * 5}, index=dates.strftime("%Y%m%d"))
    out = eng.calc_strategy_stats(tf, text)
    assert out["holding_count"] == 0.0 and out["turnover"] == 0.0


@pytest.fixture
def traded(monkeypatch):
    """The pipeline's smoothing of a weight matrix: the native smooth_weights, which
    takes any weights, and, for weights the pipeline accepts (finite, a window of at
    least 0), the matrix the pipeline hands to a recorder in place of the return
    engine, which must be the same."""
    seen = {}

    def engine(**kwargs):
        seen["signal"] = kwargs["signal_matrix"]
        return pd.Series(0.0, index=kwargs["signal_matrix"].index[1:])

    monkeypatch.setattr(eng, "calc_strategy_vwap_daily_return", engine)

    def run(matrix, window):
        before = matrix.copy()
        smoothed = _records.smooth_weights(matrix, window)
        if window >= 0 and not np.isinf(matrix.to_numpy(dtype=float)).any():
            eng.run_strategy_backtest_core(matrix, *[None] * 8, rolling_window=window)
            assert seen["signal"] is matrix if smoothed is matrix else seen["signal"].equals(smoothed)
        pd.testing.assert_frame_equal(matrix, before)
        return smoothed

    return run


@pytest.mark.parametrize("layout", ["F", "C"])
@pytest.mark.parametrize("window", [1, 2, 3, 5, 60, 10_000])
def test_smoothing_matches_pandas(traded, layout, window):
    rng = np.random.default_rng(window)
    matrix = random_weights(rng, 400, 13, layout)
    matrix.iloc[0, 1] = nan  # the raw first row stays, NaN or infinite
    matrix.iloc[0, 2] = np.inf
    got = traded(matrix, window)
    expected = smoothing(matrix, window)
    pd.testing.assert_frame_equal(got, expected, check_exact=False, rtol=1e-12, atol=0)
    assert got.index is matrix.index and got.columns is matrix.columns


def test_smoothing_follows_pandas_over_long_windows(traded):
    # Huge values entering and leaving long windows leave rounding residue in a
    # running sum; the result follows pandas' running sum, not a fresh window mean.
    rng = np.random.default_rng(3)
    n = 5000
    values = rng.normal(0, 1e-6, (n, 3))
    values[rng.random((n, 3)) < 0.2] *= 1e12
    values[rng.random((n, 3)) < 0.1] = nan
    matrix = pd.DataFrame(values)
    for window in (700, 4999):
        got = traded(matrix, window).to_numpy()
        expected = smoothing(matrix, window).to_numpy()
        np.testing.assert_allclose(got, expected, rtol=1e-12, atol=0)


def test_smoothing_windows_one_and_three(traded):
    matrix = pd.DataFrame({"a": [0.3, 0.6, nan, 0.9, 0.0], "b": [nan, 0.2, 0.4, 0.6, 0.8]},
                          index=pd.bdate_range("2024-01-01", periods=5))
    one = traded(matrix, 1)
    pd.testing.assert_frame_equal(one, matrix)
    three = traded(matrix, 3)
    expected = pd.DataFrame(
        {"a": [0.3, 0.45, 0.45, 0.75, 0.45], "b": [nan, 0.2, 0.3, 0.4, 0.6]}, index=matrix.index
    )
    pd.testing.assert_frame_equal(three, expected)
    # Smoothing off: the caller's frame is traded as it is.
    assert traded(matrix, 0) is matrix and traded(matrix, -2) is matrix


def test_smoothing_odd_shapes(traded):
    assert traded(pd.DataFrame(np.zeros((0, 3))), 3).shape == (0, 3)  # no first row to restore
    assert traded(pd.DataFrame(np.zeros((4, 0))), 3).shape == (4, 0)
    ints = pd.DataFrame({"a": [1, 2, 3]})
    pd.testing.assert_frame_equal(traded(ints, 2), smoothing(ints, 2).astype(float))
