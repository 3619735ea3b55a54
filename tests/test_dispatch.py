"""Every kernel target gives exactly numpy's product through rsr_gemm.

The target is chosen once per process, so each forced target runs in its own
interpreter (a target the processor lacks falls back, and must agree too).
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _vesk_backend import rsr_gemm

CHECK_SCRIPT = textwrap.dedent("""
    import sys
    import numpy as np
    from _vesk_backend import rsr_gemm

    def check(a, b, n, k, m, block_size):
        A = (np.frombuffer(a, np.uint8).reshape(n, k) & 3).astype(np.int64)
        B = np.frombuffer(b, np.int8).reshape(k, m).astype(np.int64)
        expected = (A @ B).ravel().tolist()
        if rsr_gemm(a, b, n, k, m, block_size) != expected:
            sys.exit(f"mismatch n={n} k={k} m={m} block_size={block_size}")

    rng = np.random.default_rng(7)
    shapes = [(1, 1, 1), (3, 7, 1), (1029, 23, 1), (5, 13, 15), (2, 37, 17),
              (33, 45, 31), (7, 29, 65), (4, 90, 130), (2, 171, 1349),
              (65, 38, 64), (2500, 1027, 1)]
    for n, k, m in shapes:
        for block_size in (4, 6, 8, 5):
            a = rng.integers(0, 256, n * k, dtype=np.uint8).tobytes()
            b = rng.integers(-128, 128, k * m, dtype=np.int8).tobytes()
            check(a, b, n, k, m, block_size)
    # Codes 3 in bytes with every high bit set, B at its extremes: table
    # entries and 16-bit group sums at their bounds (the last shape is a
    # matrix-vector product of enough rows to be transposed).
    for value in (-128, 127):
        for block_size, (n, k, m) in ((4, (3, 171, 1349)), (6, (3, 97, 130)),
                                      (8, (2, 61, 40)), (4, (2200, 70, 1))):
            check(b"\\xff" * (n * k), bytes([value & 0xFF]) * (k * m),
                  n, k, m, block_size)
""")


@pytest.mark.parametrize("target", ["portable", "avx2", "avx512", "avx512vbmi", "bogus"])
def test_forced_target_matches_numpy(target):
    env = dict(os.environ, VESK_KERNEL=target)
    run = subprocess.run([sys.executable, "-c", CHECK_SCRIPT], env=env,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr


def test_values_sharing_cache_slots_stay_distinct():
    # Columns summing to 65536, 0 and -65536 with every code 1: values that
    # share their low 16 bits alternate through a long (cached) result.
    n, k = 1000, 520
    a = b"\x01" * (n * k)
    column_sums = [65536, 0, -65536]
    B = np.zeros((k, 3), np.int64)
    for c, total in enumerate(column_sums):
        B[:, c] = total // k
        B[: total - (total // k) * k, c] += 1
    assert (B.sum(axis=0) == column_sums).all() and np.abs(B).max() <= 127
    result = rsr_gemm(a, B.astype(np.int8).tobytes(), n, k, 3, 4)
    assert result == column_sums * n


@pytest.mark.parametrize("count", [100, 5000])
def test_equal_values_leave_exact_reference_counts(count):
    # Every element is 3 * 127 * 4 = 1524, beyond the interpreter's small
    # ints: the list must hold exactly `count` references to its objects.
    result = rsr_gemm(b"\x03" * (count * 4), b"\x7f" * 4, count, 4, 1, 4)
    assert result == [1524] * count
    distinct = {id(x): x for x in result}
    # Beyond the list's: the dict's, the loop variable's and the argument's.
    held = sum(sys.getrefcount(obj) - 3 for obj in distinct.values())
    assert held == count


@pytest.mark.parametrize("count", [100, 5000])
def test_shared_small_int_gains_exactly_the_lists_references(count):
    # Every element is 3 * 1 * 2 = 6, one of the interpreter's shared small
    # ints: its count must rise by exactly the list's references and fall back.
    before = sys.getrefcount(6)
    result = rsr_gemm(b"\x03" * (count * 2), b"\x01" * 2, count, 2, 1, 4)
    during = sys.getrefcount(6)
    del result
    after = sys.getrefcount(6)
    assert (during - before, after - before) == (count, 0)


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                    reason="sys.gettotalrefcount exists only in a debug "
                           "build of the interpreter")
@pytest.mark.parametrize("a,b,n,k", [
    (b"\x03" * 400, b"\x7f" * 4, 100, 4),  # one new int, short list
    (b"\x03" * 20000, b"\x7f" * 4, 5000, 4),  # one shared int
    (b"\x03" * 10000, b"\x01" * 2, 5000, 2),  # a small int, shared
    (bytes(range(256)) * 40, bytes(range(256)) * 8, 1024, 10),  # many
])
def test_calls_leave_the_reference_total_unchanged(a, b, n, k):
    # A debug interpreter keeps a total of all references; the references
    # the shared ints gain in bulk must be counted into it like any other.
    m = len(b) // k

    def total_change(calls):
        rsr_gemm(a, b, n, k, m, 4)
        before = sys.gettotalrefcount()
        for _ in range(calls):
            rsr_gemm(a, b, n, k, m, 4)
        return sys.gettotalrefcount() - before

    # The measurement holds a few references of its own, the same each time.
    assert total_change(20) == total_change(10)
