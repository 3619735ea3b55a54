"""Builds the stand-alone kernel tests with CMake and runs them."""

import os
import pathlib
import shutil
import subprocess

import pytest

HERE = pathlib.Path(__file__).parent


@pytest.fixture(scope="session")
def kernel_tests_binary(tmp_path_factory):
    if shutil.which("cmake") is None:
        pytest.fail("cmake is needed to build the kernel tests")
    build = tmp_path_factory.mktemp("kernel-build")
    subprocess.run(["cmake", "-S", HERE / "kernel", "-B", build], check=True,
                   capture_output=True)
    subprocess.run(["cmake", "--build", build, "--config", "Release"],
                   check=True, capture_output=True)
    name = "kernel_tests.exe" if os.name == "nt" else "kernel_tests"
    found = list(build.rglob(name))
    assert found, "kernel_tests was not built"
    return found[0]


def test_kernel_matches_plain_product(kernel_tests_binary):
    run = subprocess.run([kernel_tests_binary], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failed" in run.stdout
