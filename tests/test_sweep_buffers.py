"""The smoothing written into a given array, and the sweep's reuse of those arrays:
an array still referred to is never lent again."""

import gc

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _records
from tessary.sweep import _buffers


def weights(order="C", rows=40, cols=12, seed=3):
    rng = np.random.default_rng(seed)
    values = np.where(rng.random((rows, cols)) < 0.3, np.nan, rng.random((rows, cols)) / cols)
    return pd.DataFrame(np.asarray(values, order=order), columns=[f"{600000 + i:06d}" for i in range(cols)], copy=False)


@pytest.mark.parametrize("order", ["C", "F"])
def test_smoothing_into_a_given_array_gives_the_same_bits(order):
    frame = weights(order)
    out = np.full(frame.shape, 7.0, order=order)
    got = _records.smooth_weights(frame, 5, out=out)
    expected = _records.smooth_weights(frame, 5)
    assert got.to_numpy().tobytes() == expected.to_numpy().tobytes()
    assert np.shares_memory(got.to_numpy(), out)
    pd.testing.assert_index_equal(got.columns, frame.columns)


@pytest.mark.parametrize("bad", ["shape", "layout", "dtype", "read-only", "overlap"])
def test_a_given_array_that_does_not_fit_is_refused(bad):
    frame = weights("C")
    out = np.empty(frame.shape)
    if bad == "shape":
        out = np.empty((frame.shape[0] + 1, frame.shape[1]))
    elif bad == "layout":
        out = np.empty(frame.shape, order="F")
    elif bad == "dtype":
        out = np.empty(frame.shape, dtype=np.float32)
    elif bad == "read-only":
        out.flags.writeable = False
    else:  # the weights' own memory
        values = frame.to_numpy().copy()
        frame = pd.DataFrame(values, copy=False)
        out = values
    with pytest.raises(ValueError, match="out must"):
        _records.smooth_weights(frame, 3, out=out)


def test_arrays_are_lent_again_only_when_free():
    frame = weights("C")
    assert _buffers.output_for(frame) is None  # outside a sweep nothing is kept
    with _buffers.reusing(frame.to_numpy().nbytes * 2):
        first = _buffers.output_for(frame)
        smoothed = _records.smooth_weights(frame, 4, out=first)
        del first
        second = _buffers.output_for(frame)  # the first still backs `smoothed`
        assert not np.shares_memory(second, smoothed.to_numpy())
        view = second[1:]
        del second
        third = _buffers.output_for(frame)  # neither is free: a new array, beyond the limit not kept
        assert not np.shares_memory(third, smoothed.to_numpy()) and not np.shares_memory(third, view)
        assert len(_buffers._arrays) == 2
        del smoothed, third
        gc.collect()
        again = _buffers.output_for(frame)
        assert any(again is a for a in _buffers._arrays) and not np.shares_memory(again, view)
        assert _buffers.output_for(weights("F")).flags.f_contiguous
        del again
        assert _buffers.output_for(frame.astype({frame.columns[0]: "float32"})) is None
    assert _buffers._arrays == [] and _buffers.output_for(frame) is None
