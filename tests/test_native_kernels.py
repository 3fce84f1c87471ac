"""Builds and runs the C++ unit tests of the native kernels (no Python inside)."""

import glob
import os
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(ROOT, "native")


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("test_source", sorted(glob.glob(os.path.join(ROOT, "tests", "native", "test_*.cpp"))),
                         ids=os.path.basename)
def test_native_kernel_unit(tmp_path, test_source):
    kernels = glob.glob(os.path.join(NATIVE, "*", "kernels", "*.cpp"))
    exe = tmp_path / "kernel_test"
    cmd = ["g++", "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-I", NATIVE, test_source, *kernels,
           "-o", str(exe)]
    subprocess.run(cmd, check=True, capture_output=True, text=True)
    run = subprocess.run([str(exe)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
