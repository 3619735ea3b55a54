"""Builds the stand-alone kernel tests with CMake, runs them, and checks
through them which target VESK_KERNEL selects."""

import os
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


def selected_target(binary, value):
    env = dict(os.environ, VESK_KERNEL=value)
    run = subprocess.run([binary, "--selected"], env=env, capture_output=True,
                         text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout.strip(), run.stderr


def test_each_kernel_name_selects_its_target_or_the_next_supported(
        kernel_tests_binary):
    listing = subprocess.run([kernel_tests_binary, "--targets"],
                             capture_output=True, text=True, check=True)
    table = [line.split() for line in listing.stdout.splitlines()]
    assert table[-1] == ["portable", "supported"]
    for i, (name, _) in enumerate(table):
        usable = next(n for n, state in table[i:] if state == "supported")
        assert selected_target(kernel_tests_binary, name) == (usable, "")
    best = next(n for n, state in table if state == "supported")
    assert selected_target(kernel_tests_binary, "") == (best, "")


def test_unknown_kernel_name_is_reported_and_the_best_target_used(
        kernel_tests_binary):
    best, _ = selected_target(kernel_tests_binary, "")
    chosen, err = selected_target(kernel_tests_binary, "AVX2")
    assert chosen == best
    assert err.startswith("vesk: VESK_KERNEL=AVX2 names no kernel target (one "
                          "of ") and err.endswith(f"); using {best}\n")
    assert err.count("\n") == 1
