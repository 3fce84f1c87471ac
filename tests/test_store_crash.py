"""Writers, updaters and compactions killed with SIGKILL at random moments: the store must then load whole,
holding either the previous or the new payload, never a mix and never an error.

A helper process (this file run as a script) imports everything once and forks one
writer per round; it kills the writer after a random delay and reports back, and
the test then loads and checks the store before the next round.
"""

import os
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from tessary.backtest import _prepare as P

WRITE_ROUNDS = 60
SUPPLEMENT_ROUNDS = 20
UPDATE_ROUNDS = 24
COMPACT_ROUNDS = 12
NEW = "rq_index_components_new_932000.INDX"


def make_payload(tag):
    """Payloads that differ in every value and in shape, so a mix cannot pass."""
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-01", periods=30 + 3 * tag)]
    codes = [f"{600000 + i:06d}" for i in range(6 + tag)]
    shape = (len(dates), len(codes))
    data = {}
    for i, (key, dtype) in enumerate(P.build_matrix_dtype(P.COMPONENT_FACTOR_NAMES[:4]).items()):
        values = np.arange(shape[0] * shape[1], dtype=np.float64).reshape(shape) + 1000.0 * (tag * 100 + i)
        data[key] = pd.DataFrame(values % 3 == tag if dtype == "bool" else values, index=dates, columns=codes)
    data["benchmark_dict"] = {
        name: pd.Series(np.full(len(dates), tag + i / 10), index=dates, name="index_daily_return")
        for i, name in enumerate(P.BENCHMARK_INDEX_CODES)
    }
    meta = {"tag": tag, "component_names": list(P.COMPONENT_FACTOR_NAMES[:4])}
    return {"version": 1, "meta": meta, "data": data}


def daily_update(step):
    """Update `step` of a growing store: the last two stored days rebuilt with values of
    this step and one new day; a new stock code every fourth step."""
    dates = [d.strftime("%Y%m%d") for d in pd.bdate_range("2024-01-01", periods=33 + step)][-3:]
    codes = [f"{600000 + i:06d}" for i in range(6 + step // 4)]
    shape = (len(dates), len(codes))
    data = {}
    for i, (key, dtype) in enumerate(P.build_matrix_dtype(P.COMPONENT_FACTOR_NAMES[:4]).items()):
        values = np.arange(shape[0] * shape[1], dtype=np.float64).reshape(shape) + 1000.0 * (step * 100 + i)
        data[key] = pd.DataFrame(values % 3 == step % 3 if dtype == "bool" else values, index=dates, columns=codes)
    data["benchmark_dict"] = {
        name: pd.Series(np.full(len(dates), step + i / 10), index=dates, name="index_daily_return")
        for i, name in enumerate(P.BENCHMARK_INDEX_CODES)
    }
    return {"version": 1, "meta": {"tag": 0, "step": step}, "data": data}


def check_same(store, reference):
    """The store loads whole and equal to the reference store (every dataset and benchmark)."""
    got, want = store.load(mmap=True), reference.load(mmap=False)
    assert got["meta"] == want["meta"]
    assert list(got["data"]) == list(want["data"])
    for key, frame in want["data"].items():
        pd.testing.assert_frame_equal(got["data"][key], frame, obj=key)
    got_b, want_b = store.load_benchmark_dict(), reference.load_benchmark_dict()
    assert list(got_b) == list(want_b)
    for name, series in want_b.items():
        pd.testing.assert_series_equal(got_b[name], series)
    assert store.verify() == []


def new_mask(tag):
    ref = make_payload(tag)["data"]["close_price"]
    return (ref % 2).where(ref % 2 == 1)


def check_whole(store, allow_mask=False):
    """The tag of the payload the store holds, after checking every part of it."""
    out = store.load(mmap=False)
    tag = out["meta"]["tag"]
    expected = make_payload(tag)["data"]
    mask_key = P.component_dataset_key(NEW)
    keys = [k for k in store.matrix_dtype if k in expected]
    if mask_key in out["data"]:
        assert allow_mask and out["meta"]["component_names"][-1] == NEW
        pd.testing.assert_frame_equal(out["data"].pop(mask_key), new_mask(tag))
    else:
        assert NEW not in out["meta"]["component_names"]
    assert list(out["data"]) == keys
    for key in keys:
        pd.testing.assert_frame_equal(out["data"][key], expected[key])
    got = store.load_benchmark_dict()
    assert list(got) == list(expected["benchmark_dict"])
    for name, series in expected["benchmark_dict"].items():
        pd.testing.assert_series_equal(got[name], series)
    return tag


def rounds(count, outcomes):
    """Round numbers: ``count`` rounds at least, then more until ``outcomes`` holds both
    outcomes of a kill, three times ``count`` at most."""
    for round_no in range(3 * count):
        if round_no >= count and len(outcomes) == 2:
            return
        yield round_no


def one_run(helper, what):
    """The seconds one unkilled ``what`` takes in the helper, printed."""
    seconds = float(helper(f"time {what}")[0])
    print(f"one {what} {seconds:.4f} s")
    return seconds


@pytest.fixture
def helper(tmp_path):
    proc = subprocess.Popen(
        [sys.executable, __file__, str(tmp_path / "store")],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )

    def ask(line):
        proc.stdin.write(line + "\n")
        proc.stdin.flush()
        answer = proc.stdout.readline().split()
        assert answer and answer[0] == "ok", answer
        return answer[1:]

    try:
        yield ask
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
        proc.stdout.close()


def test_killed_writes_and_supplements_leave_a_whole_store(helper, tmp_path):
    seed = int(os.environ.get("TESSARY_KILL_SEED", time.time_ns() % 2**32))
    rng = random.Random(seed)
    store = P.BinaryPreparedDataStore(tmp_path / "store")
    # Kill delays scale with the measured duration of one write; when the machine is
    # slower or faster than measured, the scale adapts until kills have fallen on
    # both sides of a commit (a few extra rounds at most).
    print(f"seed {seed}")
    scale = one_run(helper, "write")
    seen = set()  # the tags of the payloads found after a kill
    for round_no in rounds(WRITE_ROUNDS, seen):
        helper(f"kill write {rng.uniform(0, 3 * scale):.6f}")
        if store.metadata_path.exists():  # the first writers may die before their first commit
            seen.add(check_whole(store))
        if round_no >= WRITE_ROUNDS // 2 and 1 not in seen:
            scale *= 1.2
    assert seen == {0, 1}, f"seed {seed}: kills never fell on both payloads"

    scale = one_run(helper, "supplement")
    outcomes = set()
    for round_no in rounds(SUPPLEMENT_ROUNDS, outcomes):
        store.write_payload(make_payload(rng.randrange(2)))
        helper(f"kill supplement {rng.uniform(0, 2 * scale):.6f}")
        check_whole(store, allow_mask=True)
        outcomes.add(P.component_dataset_key(NEW) in store.load_metadata()["datasets"])
        if round_no >= SUPPLEMENT_ROUNDS // 2 and len(outcomes) < 2:
            scale *= 1.25 if True not in outcomes else 0.8
    # Killed both before and after the commit point.
    assert outcomes == {False, True}, f"seed {seed}"


def test_killed_updates_and_compactions_leave_a_whole_store(helper, tmp_path):
    seed = int(os.environ.get("TESSARY_KILL_SEED", time.time_ns() % 2**32))
    rng = random.Random(seed)
    store = P.BinaryPreparedDataStore(tmp_path / "store")
    reference = P.BinaryPreparedDataStore(tmp_path / "reference")
    store.write_payload(make_payload(0))
    reference.write_payload(make_payload(0))
    print(f"seed {seed}")
    scale = one_run(helper, "update")
    step = most_extents = 0
    for _ in range(UPDATE_ROUNDS):
        helper(f"kill update {rng.uniform(0, 6 * scale):.6f}")
        reached = store.load_metadata()["meta"].get("step", 0)
        assert reached >= step, f"seed {seed}: the store went back from step {step} to {reached}"
        while step < reached:  # the reference takes the same steps, unkilled
            step += 1
            reference.update_payload(daily_update(step))
        check_same(store, reference)
        # An update that needs more stock columns than the file has rewrites the dataset
        # as one extent, so the count is looked at after every round, not only the last.
        most_extents = max(most_extents, *(len(d["extents"]) for d in store.load_metadata()["datasets"].values()))
    assert step >= UPDATE_ROUNDS // 4, f"seed {seed}: the updates hardly advanced ({step} steps)"
    assert most_extents > 1, f"seed {seed}: no update appended an extent"

    scale = one_run(helper, "compact")
    outcomes = set()
    for round_no in rounds(COMPACT_ROUNDS, outcomes):
        store.update_payload(daily_update(step + 1))  # a fresh extent to compact
        reference.update_payload(daily_update(step + 1))
        step += 1
        helper(f"kill compact {rng.uniform(0, 2 * scale):.6f}")
        check_same(store, reference)
        outcomes.add(all(len(d["extents"]) == 1 for d in store.load_metadata()["datasets"].values()))
        if round_no >= COMPACT_ROUNDS // 2 and len(outcomes) < 2:
            scale *= 1.25 if True not in outcomes else 0.8
    assert outcomes == {False, True}, f"seed {seed}: kills never fell on both sides of a compaction"


def _writer(store_dir, mode, payloads, masks):
    store = P.BinaryPreparedDataStore(store_dir)
    if mode == "update":
        step = store.load_metadata()["meta"].get("step", 0)
        while True:
            step += 1
            store.update_payload(daily_update(step))
    if mode == "compact":
        store.compact()
        return
    if mode == "write":
        n = 0
        while True:
            store.write_payload(payloads[n % 2])
            n += 1
    else:
        tag = store.load_metadata()["meta"]["tag"]
        store.add_component_matrices({NEW: masks[tag]}, [NEW])


def _timed(store_dir, mode, payloads, masks):
    store = P.BinaryPreparedDataStore(store_dir)
    store.write_payload(payloads[0])
    for step in range(1, 6 if mode == "compact" else 1):
        store.update_payload(daily_update(step))
    start = time.perf_counter()
    if mode == "update":
        store.update_payload(daily_update(1))
    elif mode == "compact":
        store.compact()
    elif mode == "write":
        store.write_payload(payloads[1])
    else:
        store.add_component_matrices({NEW: masks[0]}, [NEW])
    return time.perf_counter() - start


def _serve(store_dir):
    # Everything a writer needs is built before it is forked, so that it starts
    # writing at once and the kill delays measure time spent writing.
    payloads = [make_payload(0), make_payload(1)]
    masks = [new_mask(0), new_mask(1)]
    for line in sys.stdin:
        words = line.split()
        if words[0] == "time":
            print("ok", _timed(store_dir + ".timing", words[1], payloads, masks), flush=True)
            continue
        _, mode, delay = words
        pid = os.fork()
        if pid == 0:
            try:
                _writer(store_dir, mode, payloads, masks)
                time.sleep(60)  # a finished supplement waits for its kill like the others
            finally:
                os._exit(1)
        time.sleep(float(delay))
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        killed = os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
        print("ok" if killed else "writer-failed", status, flush=True)


if __name__ == "__main__":
    _serve(sys.argv[1])
