"""Builds the C++ unit tests of the native kernels with CMake, with the release flags
the package uses, and runs them through ctest (no Python inside the tests).

Without cmake or a C++ compiler the tests are skipped on a developer's machine and
fail where the environment variable CI is set: a CI run must never pass by skipping.
"""

import os
import re
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "kernel-tests")


def _missing_tools():
    missing = [tool for tool in ("cmake", "ctest") if shutil.which(tool) is None]
    compiler = os.environ.get("CXX") or next((c for c in ("c++", "g++", "clang++") if shutil.which(c)), None)
    if compiler is None or shutil.which(compiler) is None:
        missing.append("a C++ compiler")
    return missing


@pytest.fixture(scope="module")
def kernel_build():
    missing = _missing_tools()
    if missing:
        message = "the C++ kernel tests need " + ", ".join(missing)
        if os.environ.get("CI"):
            pytest.fail(message + " (required when CI is set)")
        pytest.skip(message)
    configure = ["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                 "-DTESSARY_KERNELS_ONLY=ON", "-DTESSARY_KERNEL_TESTS=ON"]
    if shutil.which("ninja") and not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        configure += ["-G", "Ninja"]
    if os.environ.get("CI"):
        configure.append("-DTESSARY_WERROR=ON")  # a compiler warning in the kernels or their tests fails CI
    for command in (configure, ["cmake", "--build", BUILD, "--parallel", "2"]):
        run = subprocess.run(command, capture_output=True, text=True)
        assert run.returncode == 0, " ".join(command) + "\n" + run.stdout[-4000:] + run.stderr[-4000:]
    return BUILD


def test_kernel_unit_tests_pass_under_ctest(kernel_build):
    run = subprocess.run(["ctest", "--test-dir", kernel_build, "--output-on-failure"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
    # Every test source became a test: a source CMake missed would pass unnoticed.
    sources = sorted(f[:-4] for f in os.listdir(os.path.join(ROOT, "tests", "native")) if f.startswith("test_") and f.endswith(".cpp"))
    for name in sources:
        assert re.search(rf" {name} \.+ +Passed", run.stdout), name
