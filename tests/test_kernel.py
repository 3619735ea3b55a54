"""Builds the stand-alone kernel tests with CMake and runs them."""

import pathlib
import subprocess

import pytest

from helpers import build_with_cmake

HERE = pathlib.Path(__file__).parent


@pytest.fixture(scope="session")
def kernel_tests_binary(tmp_path_factory):
    build = tmp_path_factory.mktemp("kernel-build")
    return build_with_cmake(HERE / "kernel", build, "kernel_tests")


def test_kernel_matches_plain_product(kernel_tests_binary):
    run = subprocess.run([kernel_tests_binary], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " 0 failed" in run.stdout
