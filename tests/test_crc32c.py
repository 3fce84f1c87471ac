"""The store's CRC-32C: every kernel this processor runs against the portable code and
the definition over random lengths and alignments, several buffers in one call on
threads, and the kernel chosen under TESSARY_SIMD."""

import os
import subprocess
import sys

import numpy as np
import pytest
from reference.crc32c import crc32c as reference_crc32c

from tessary.store._checksum import crc32c, crc32c_many, kernel, kernels

RNG = np.random.default_rng(2028)
BLOB = RNG.integers(0, 256, 100_000 + 64, dtype=np.uint8).tobytes()
# Every boundary of the kernels' loops (16-byte lanes, 64- and 128-byte steps, the
# three streams' blocks of 256 and 8192 bytes) and random lengths up to 100 KB, each at
# a random offset (alignment) in BLOB.
LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 255, 256, 257, 511, 512, 513, 767, 768, 769, 24575, 24576,
           24577, 100_000] + sorted(RNG.integers(0, 100_000, 16).tolist())
CASES = [(n, int(RNG.integers(0, 64))) for n in LENGTHS]
EXPECTED = [reference_crc32c(BLOB[offset:offset + n]) for n, offset in CASES]


@pytest.mark.parametrize("name", kernels())
def test_each_kernel_gives_the_checksum_of_the_definition(name):
    view = memoryview(BLOB)
    for (n, offset), expected in zip(CASES, EXPECTED):
        part = view[offset:offset + n]
        assert crc32c(part, kernel=name) == expected, (n, offset)
        # Extended from the checksum of a first part, cut anywhere.
        cut = (n * 2) // 5
        assert crc32c(part[cut:], crc32c(part[:cut], kernel=name), kernel=name) == expected, (n, offset, cut)
    assert crc32c(b"123456789", kernel=name) == 0xE3069283


def test_the_kernels_listed_are_the_ones_that_run_and_others_are_refused():
    assert "portable" in kernels() and kernel() in kernels()
    with pytest.raises(ValueError, match="unknown crc32c kernel"):
        crc32c(b"x", kernel="fastest")
    absent = [k for k in ("sse42", "clmul", "vpclmul", "armv8") if k not in kernels()]
    for name in absent:
        with pytest.raises(ValueError, match="does not run here"):
            crc32c(b"x", kernel=name)


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_many_buffers_on_threads_give_each_buffer_its_checksum(threads):
    big = np.random.default_rng(3).integers(0, 256, 30 << 20, dtype=np.uint8)
    # Empty, tiny and large buffers, some crossing the boundary of two threads' shares.
    cuts = [0, 0, 5, 6 << 20, (6 << 20) + 1, 13 << 20, 13 << 20, (25 << 20) + 7, 30 << 20]
    parts = [big[a:b] for a, b in zip(cuts, cuts[1:])] + [b"123456789", bytearray()]
    expected = [crc32c(p, threads=1) for p in parts]
    assert expected[-2] == 0xE3069283 and expected[0] == 0
    assert crc32c_many(parts, threads=threads) == expected
    assert crc32c_many([]) == []
    with pytest.raises(TypeError, match="contiguous buffer"):
        crc32c_many([b"ok", "text"])


@pytest.mark.parametrize("width, portable", [("scalar", True), (" Scalar ", True), ("avx2", False), ("avx512", False),
                                             ("", False), (" ", False)])
def test_tessary_simd_scalar_chooses_the_portable_kernel(width, portable):
    from tessary.backtest._pnl_engine import _SIMD_AVAILABLE

    if width.strip() and width.strip().lower() not in _SIMD_AVAILABLE:
        pytest.skip(f"this machine does not run {width.strip()}")
    code = ("from tessary.store._checksum import crc32c, kernel, uses_hardware;"
            "print(kernel(), uses_hardware(), crc32c(b'123456789'))")
    env = {**os.environ, "TESSARY_SIMD": width}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60,
                         check=True).stdout.split()
    assert out[2] == str(0xE3069283)
    if portable:
        assert out[:2] == ["portable", "False"]
    else:
        assert out[0] == kernel()
