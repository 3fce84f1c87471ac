"""Builds and runs the C++ unit tests of the native kernels (no Python inside)."""

import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "native")
# Kernel files built for a wider instruction set, by suffix (as in CMakeLists.txt).
ISA_FLAGS = {"_avx2.cpp": ["-mavx2"], "_avx512.cpp": ["-mavx512f", "-mavx512dq", "-mavx512bw", "-mavx512vl"]}


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("test_source", sorted(glob.glob(os.path.join(ROOT, "tests", "native", "test_*.cpp"))),
                         ids=os.path.basename)
def test_native_kernel_unit(tmp_path, test_source):
    base = ["g++", "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wno-psabi", "-I", NATIVE]
    objects = []
    for source in sorted(glob.glob(os.path.join(NATIVE, "*", "kernels", "*.cpp"))):
        flags = next((f for suffix, f in ISA_FLAGS.items() if source.endswith(suffix)), [])
        obj = tmp_path / (os.path.basename(os.path.dirname(os.path.dirname(source))) + "_" +
                          os.path.basename(source) + ".o")
        subprocess.run([*base, *flags, "-c", source, "-o", str(obj)], check=True, capture_output=True, text=True)
        objects.append(str(obj))
    exe = tmp_path / "kernel_test"
    subprocess.run([*base, test_source, *objects, "-o", str(exe)], check=True, capture_output=True, text=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
