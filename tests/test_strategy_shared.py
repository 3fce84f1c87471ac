"""The built-in strategies' shared work: the one-pass weight kernel against the
three kernels it replaces, and the daily returns and trailing sums kept for later
calls on a market read from a store (and only there)."""

import threading

import numpy as np
import pandas as pd
import pytest

from sweep_market import random_market, write_store
from tessary.strategies import _shared, momentum, reversal
from tessary.strategies import _strategy_kernels as kernels
from tessary.sweep import _market

nan = np.nan


@pytest.mark.parametrize("largest", [True, False])
@pytest.mark.parametrize("share,min_count,step", [(0.1, 3, 1), (0.5, 1, 4), (1.0, 2, 3), (0.2, 25, 2),
                                                   (1e-3, 0, 1), (1.7, 2, 5)])
def test_one_pass_weights_equal_select_weight_and_hold(largest, share, min_count, step):
    """Including a share too small to hold a stock with no minimum (no selection that
    date) and a share above 1 (every candidate, each at 1 / count)."""
    rng = np.random.default_rng(11)
    score = rng.integers(0, 6, size=(60, 30)).astype(float)  # few values: ties everywhere
    score[rng.random(score.shape) < 0.25] = nan
    score[rng.random(score.shape) < 0.02] = np.inf
    score[:7] = nan  # no candidate at first: zeros until the first selection
    eligible = rng.random(score.shape) > 0.1
    present = np.where(rng.random(score.shape) < 0.1, nan, 1.0)
    pick = np.zeros(len(score), dtype=bool)
    pick[::step] = True
    rank = rng.permutation(score.shape[1]).astype(np.int64)
    for flags, there in ((eligible, present), (None, None), (np.asfortranarray(eligible), np.asfortranarray(present))):
        chosen, count = kernels.top_share(score, pick, rank, share, min_count, largest, flags, there)
        expected = kernels.equal_weights(chosen, count)
        kernels.hold_forward(expected, 0.0, out=expected)
        got = kernels.top_share_held(score, pick, rank, share, min_count, largest, flags, there)
        assert got.tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="pick"):
        kernels.top_share_held(score, pick[:-1], rank, share, min_count, largest)


@pytest.fixture()
def stored(tmp_path):
    """A market read from a store (read-only file maps) and the same frames in memory."""
    write_store(tmp_path, n_dates=150, n_stocks=40, seed=4)
    _shared.forget()
    yield _market.open_market(tmp_path, None, None).for_strategy(), random_market(n_dates=150, n_stocks=40, seed=4)
    _shared.forget()


def kept():
    return {kind: len(entries) for kind, entries in _shared._kept.items()}


def test_a_stored_market_shares_its_returns_and_sums(stored):
    mapped, in_memory = stored
    params = [dict(lookback=20, share=0.1, rebalance=1), dict(lookback=20, share=0.3, rebalance=5),
              dict(lookback=10, share=0.1, rebalance=2)]
    for p in params:
        for strategy in (momentum, reversal):
            pd.testing.assert_frame_equal(strategy(mapped, **p), strategy(in_memory, **p), check_exact=True)
    assert kept() == {"daily": 1, "sum": 2}  # one market, two windows; the in-memory calls kept nothing
    daily = next(iter(_shared._kept["daily"].values()))[1]
    assert not daily.flags.writeable
    # A changed frame in memory is never answered from an earlier result.
    changed = dict(in_memory, close_price=in_memory["close_price"] * 1.5)
    pd.testing.assert_frame_equal(momentum(changed, lookback=20), momentum(changed.copy(), lookback=20))
    assert kept() == {"daily": 1, "sum": 2}


@pytest.mark.parametrize("how", ["writable map", "in memory", "writable base"])
def test_arrays_that_may_change_are_not_kept(tmp_path, how):
    values = np.arange(12.0).reshape(3, 4)
    np.save(tmp_path / "a.npy", values)
    if how == "writable map":
        array = np.load(tmp_path / "a.npy", mmap_mode="r+")
    elif how == "in memory":
        array = values.copy()
        array.flags.writeable = False
    else:  # a read-only view of a writable array: the owner may still write
        array = values.view()
        array.flags.writeable = False
    assert _shared.frozen_key([array]) is None
    assert _shared.frozen_key([np.load(tmp_path / "a.npy", mmap_mode="r")]) is not None


def test_threads_share_one_market(stored):
    mapped, in_memory = stored
    params = [dict(lookback=lb, share=s, rebalance=rb) for lb in (5, 20, 30) for s in (0.1, 0.4) for rb in (1, 3)]
    results = [None] * len(params)

    def run(i):
        results[i] = momentum(mapped, **params[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(params))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for p, got in zip(params, results):
        pd.testing.assert_frame_equal(got, momentum(in_memory, **p), check_exact=True)
    assert kept()["sum"] <= _shared.SLOTS["sum"]


@pytest.mark.parametrize("fails", [False, True])
def test_threads_needing_one_entry_compute_it_once(fails):
    calls, started = [], threading.Event()

    def compute():
        calls.append(1)
        started.set()
        threading.Event().wait(0.05)  # long enough for the others to ask meanwhile
        if fails:
            raise RuntimeError("no result")
        return np.arange(3.0)

    got, errors = [], []

    def ask():
        try:
            got.append(_shared.remembered("daily", ("test", fails), (), compute))
        except RuntimeError as exc:
            errors.append(exc)

    _shared.forget()
    threads = [threading.Thread(target=ask) for _ in range(4)]
    threads[0].start()
    started.wait()
    for t in threads[1:]:
        t.start()
    for t in threads:
        t.join()
    _shared.forget()
    # A failure is each caller's own: the waiting threads try again themselves.
    assert (len(calls), len(errors), len(got)) == ((4, 4, 0) if fails else (1, 0, 4))
    assert not _shared._running
