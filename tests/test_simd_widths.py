"""The kernels' vector width: every width this machine runs gives the same results to
the last bit (return engine and trade records under both rules, smoothing, holding
count and turnover), and the environment variable TESSARY_SIMD picks a width or
stops the import with a clear error. Each width runs in its own interpreter: the
choice is made once per process.
"""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from tessary.backtest import _pnl_engine as eng

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs in a child interpreter; prints a pickle of every result as raw bytes.
CHILD = r"""
import pickle, sys
import numpy as np, pandas as pd
sys.path.insert(0, sys.argv[1])
from reference.vwap import random_market
from tessary.backtest import _pnl_engine as eng, _records

out = {"simd": eng._SIMD}
# 531 stocks: a row span of 512 plus a ragged block; 67 days: not a multiple of 8.
market = random_market(67, 531, seed=3, special=True)
bench = {"000852": pd.Series(np.random.default_rng(4).normal(0, 0.01, 67), index=market["signal_matrix"].index)}
for layout in ("F", "C"):
    convert = np.asfortranarray if layout == "F" else np.ascontiguousarray
    frames = {k: pd.DataFrame(convert(v.to_numpy()), index=v.index, columns=v.columns, copy=False)
              for k, v in market.items()}
    out["vwap", layout] = eng.calc_strategy_vwap_daily_return(**frames).to_numpy()
    raw = _records.calc_strategy_vwap_records(**frames)
    for table in ("trades", "blocked", "positions", "pnl", "daily"):
        for column, values in raw[table].items():
            out["records", layout, table, column] = np.asarray(values)
    # The hold rule: targets set every fifth date and held between.
    given = np.arange(67) % 5 == 0
    out["hold", layout] = eng.calc_strategy_vwap_daily_return(**frames, given=given).to_numpy()
    raw = _records.calc_strategy_vwap_records(**frames, given=given)
    for table in ("trades", "blocked", "positions", "pnl", "daily"):
        for column, values in raw[table].items():
            out["records", layout, "hold " + table, column] = np.asarray(values)
    # The pipeline refuses infinite weights and buys at a price of zero or less: those
    # cells are NaN for it (the passes above see them all).
    weights = frames.pop("signal_matrix")
    weights = pd.DataFrame(convert(np.where(np.isinf(weights), np.nan, weights)), index=weights.index,
                           columns=weights.columns, copy=False)
    buy = frames["buy_price"].to_numpy()
    frames["buy_price"] = pd.DataFrame(convert(np.where(buy <= 0, np.nan, buy)), index=weights.index,
                                       columns=weights.columns, copy=False)
    for window in (0, 4):
        r = eng.run_strategy_backtest_core(weights, **frames, benchmark_dict=bench, rolling_window=window)
        out["pipeline", layout, window] = (r.daily_return.to_numpy(), r.cumulative_return.to_numpy(),
                                           np.array(list(r.stats.values()), dtype=float))
sys.stdout.buffer.write(pickle.dumps(out))
"""


def same_bits(a, b, any_nan=False):
    """The same values to the bit; with `any_nan`, a NaN matches any NaN (the records'
    vector steps may carry another NaN's sign than the scalar step, as x86 passes on
    the first of two NaN operands, and which comes first is the compiler's choice)."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if any_nan and a.dtype.kind == "f":
        nan = np.isnan(a)
        return bool(np.array_equal(nan, np.isnan(b)) and a[~nan].tobytes() == b[~nan].tobytes())
    return a.tobytes() == b.tobytes()


def run_child(width):
    env = dict(os.environ, TESSARY_SIMD=width)
    done = subprocess.run([sys.executable, "-c", CHILD, HERE], env=env, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    return pickle.loads(done.stdout)


def import_with(width, module="_pnl_engine"):
    env = dict(os.environ, TESSARY_SIMD=width)
    code = f"from tessary.backtest import {module}; from tessary.backtest import _pnl_engine as e; print(e._SIMD)"
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)


def test_every_available_width_gives_the_same_bits():
    widths = eng._SIMD_AVAILABLE
    assert widths[0] == "scalar"
    results = {w: run_child(w) for w in widths}
    reference = results["scalar"]
    # The figures are not trivial: most days trade, and special values reach the sums.
    assert np.count_nonzero(reference["vwap", "F"]) > 50
    for width, got in results.items():
        assert got.pop("simd") == width
        for key, value in reference.items():
            if key == "simd":
                continue
            parts = value if isinstance(value, tuple) else (value,)
            others = got[key] if isinstance(got[key], tuple) else (got[key],)
            for a, b in zip(parts, others):
                assert same_bits(a, b, any_nan=key[0] == "records"), (width, key)
    # Both layouts agree too (different passes over memory, the same arithmetic).
    assert reference["vwap", "F"].tobytes() == reference["vwap", "C"].tobytes()
    assert reference["hold", "F"].tobytes() == reference["hold", "C"].tobytes()
    assert np.count_nonzero(reference["hold", "F"]) > 50
    for key, value in reference.items():
        if key[0] == "records" and key[1] == "F":
            assert same_bits(value, reference[("records", "C") + key[2:]], any_nan=True), key
    assert len(reference["records", "F", "positions", "day"]) > 1000


def test_simd_choice_at_import():
    # Without the variable the widest available width is chosen.
    assert eng._SIMD == (os.environ.get("TESSARY_SIMD", "").strip().lower() or eng._SIMD_AVAILABLE[-1])
    for width in eng._SIMD_AVAILABLE:
        assert import_with(width.upper()).stdout.strip() == width  # case and spaces do not matter
    assert import_with("").stdout.strip() == eng._SIMD_AVAILABLE[-1]  # empty: as if unset

    # Every module that dispatches by width refuses it alike.
    for module in ("_pnl_engine", "_records"):
        bad = import_with("sse9", module)
        assert bad.returncode != 0
        assert "ImportError: TESSARY_SIMD=sse9 is not a vector width; use scalar, avx2 or avx512" in bad.stderr


def test_the_command_refuses_a_bad_width_before_any_work(tmp_path):
    env = dict(os.environ, TESSARY_SIMD="sse9")
    done = subprocess.run([sys.executable, "-m", "tessary.cli", "demo", "--out", str(tmp_path / "demo")], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert done.stderr == ("tessary-backtest: error: TESSARY_SIMD=sse9 is not a vector width; "
                           "use scalar, avx2 or avx512\n")
    assert not (tmp_path / "demo").exists()


@pytest.mark.skipif(set(eng._SIMD_AVAILABLE) == {"scalar", "avx2", "avx512"}, reason="this processor runs every width")
def test_a_width_the_processor_lacks_stops_the_import():
    missing = next(w for w in ("avx512", "avx2") if w not in eng._SIMD_AVAILABLE)
    for module in ("_pnl_engine", "_records"):
        bad = import_with(missing, module)
        assert bad.returncode != 0 and "ImportError: TESSARY_SIMD=" + missing in bad.stderr
        assert "it runs " + ", ".join(eng._SIMD_AVAILABLE) in bad.stderr
