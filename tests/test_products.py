"""Results of rsr_gemm and how it refuses sizes it cannot compute."""

import gc
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _vesk_backend import rsr_gemm
from helpers import needs_plain_build, plain_product

BLOCK_SIZES = [4, 6, 8, 0, 5, 7, -1, 2**31 - 1]


def random_inputs(rng, n, k, m):
    return (rng.integers(0, 256, n * k, dtype=np.uint8).tobytes(),
            rng.integers(-128, 128, k * m, dtype=np.int8).tobytes())


@pytest.mark.parametrize("block_size", [4, 5, 6, 8])
def test_small_example(block_size):
    a = bytes([1, 2, 3, 0, 3, 1])
    b = bytes([1, 0xFF, 2, 0, 0xFD, 4])
    assert rsr_gemm(a, b, 2, 3, 2, block_size) == [-4, 11, 3, 4]


@pytest.mark.parametrize("block_size", BLOCK_SIZES)
@pytest.mark.parametrize("n,k,m", [
    (1, 1, 1), (7, 10, 3), (33, 17, 65), (5, 64, 1), (64, 9, 130),
    (3, 25, 8),
])
def test_equals_plain_product(block_size, n, k, m):
    rng = np.random.default_rng([n, k, m, block_size & 0xFFFF])
    a, b = random_inputs(rng, n, k, m)
    result = rsr_gemm(a, b, n, k, m, block_size)
    assert type(result) is list and all(type(x) is int for x in result)
    assert result == plain_product(a, b, n, k, m)


@pytest.mark.parametrize("n", [5, 4096])  # new ints, then shared ints
def test_result_is_an_ordinary_tracked_list(n):
    # The list is built in place, hidden from the garbage collector until its
    # items are ints; it must come back tracked, so cycles through it go.
    rng = np.random.default_rng(n)
    a, b = random_inputs(rng, n, 7, 3)
    result = rsr_gemm(a, b, n, 7, 3, 4)
    assert gc.is_tracked(result)
    assert result == plain_product(a, b, n, 7, 3)


def test_result_larger_than_the_allocators_pooled_sizes():
    # 2**22 values: the list's storage (32 MiB) is always freshly mapped, and
    # on Linux comes in huge pages where the system offers them on request.
    n, k, m = 2, 3, 1 << 21
    rng = np.random.default_rng(22)
    a, b = random_inputs(rng, n, k, m)
    A = np.frombuffer(a, np.uint8).reshape(n, k).astype(np.int64) & 3
    B = np.frombuffer(b, np.int8).reshape(k, m).astype(np.int64)
    assert rsr_gemm(a, b, n, k, m, 4) == (A @ B).ravel().tolist()


# Codes with every high bit set (only the low 2 bits count) and B at its
# extremes put the tables and their sums at their bounds; the depths leave
# each block size a different partial last segment.
@pytest.mark.parametrize("code,value", [(0xFF, 127), (0xFF, -128),
                                        (0x03, -128), (0xFC, 127)])
@pytest.mark.parametrize("k", [21, 37])
@pytest.mark.parametrize("block_size", [4, 6, 8])
def test_extreme_values_do_not_wrap(code, value, k, block_size):
    n, m = 3, 5
    a = bytes([code]) * (n * k)
    b = bytes([value & 0xFF]) * (k * m)
    expected = [(code & 3) * value * k] * (n * m)
    assert rsr_gemm(a, b, n, k, m, block_size) == expected


@pytest.mark.parametrize("value,code", [(-128, 3), (127, 3), (-128, 1)])
def test_deepest_exact_inner_dimension(value, code):
    k = 5_592_405
    a = bytes([code]) * k
    b = np.full(k, value, np.int8).tobytes()
    assert rsr_gemm(a, b, 1, k, 1, 4) == [code * value * k]


def test_longer_buffers_are_accepted_and_the_rest_ignored():
    a, b = bytes([1, 2, 3, 0, 3, 1]), bytes([1, 0xFF, 2, 0, 0xFD, 4])
    assert rsr_gemm(a + b"\x03" * 9, b + b"\x7f" * 9, 2, 3, 2, 4) == [
        -4, 11, 3, 4]


@pytest.mark.parametrize("n,k,m", [(0, 3, 2), (2, 3, 0), (0, 0, 0), (-4, 3, 0),
                                   (0, -1, 5)])
def test_empty_result_needs_no_buffers(n, k, m):
    assert rsr_gemm(b"", b"", n, k, m, 4) == []


@pytest.mark.parametrize("k", [0, -1, -2**31])
def test_no_inner_dimension_gives_zeros_without_reading(k):
    assert rsr_gemm(b"", b"", 2, k, 3, 4) == [0] * 6


@pytest.mark.parametrize("n,m", [(0, -3), (-2, -3), (-2**31, -1)])
def test_negative_m_is_refused(n, m):
    with pytest.raises(ValueError, match=f"^m must not be negative, got {m}$"):
        rsr_gemm(b"", b"", n, 1, m, 4)


@pytest.mark.parametrize("a_len,b_len,message", [
    (5, 6, "a_bytes holds 5 bytes, but n*k = 6 are needed"),
    (0, 0, "a_bytes holds 0 bytes, but n*k = 6 are needed"),
    (6, 5, "b_bytes holds 5 bytes, but k*m = 6 are needed"),
])
def test_short_buffers_are_refused(a_len, b_len, message):
    with pytest.raises(ValueError) as info:
        rsr_gemm(b"\x01" * a_len, b"\x01" * b_len, 2, 3, 2, 4)
    assert info.value.args == (message,)


def test_short_buffer_with_huge_dimensions_is_refused():
    with pytest.raises(ValueError, match="^a_bytes holds 1 bytes, but n[*]k = "
                       "4611686014132420609 are needed$"):
        rsr_gemm(b"\x01", b"\x01", 2**31 - 1, 2**31 - 1, 1, 4)


def test_inner_dimension_beyond_exact_range_is_refused():
    k = 5_592_406
    with pytest.raises(OverflowError, match="^k = 5592406 is too large"):
        rsr_gemm(bytes(k), bytes(k), 1, k, 1, 4)


@pytest.mark.parametrize("n,m", [
    (2**31 - 1, 2**31 - 1),  # more elements than a list can hold
    # 8 TiB of list storage (ASan logs a warning when it refuses it).
    pytest.param(2**20, 2**20, marks=needs_plain_build),
])
def test_unallocatable_output_raises_memory_error(n, m):
    with pytest.raises(MemoryError):
        rsr_gemm(b"", b"", n, 0, m, 4)


@pytest.mark.parametrize("target", ["portable", ""])
def test_block_size_bounds_the_table_without_forcing_it(target):
    # A table of the caller's block size would take 2 TiB here (b = 8,
    # m = 2**24); a single row repays only the shortest segments, so the
    # kernel takes those. (A kernel allocation that fails is a MemoryError:
    # tests/test_entry_point.py.)
    code = """
        from _vesk_backend import rsr_gemm
        result = rsr_gemm(b"\\x03", b"\\x02" * 2**24, 1, 1, 2**24, 8)
        print(len(result), set(result))
    """
    env = dict(os.environ, VESK_KERNEL=target)
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.stdout == f"{2**24} {{6}}\n", run.stderr
