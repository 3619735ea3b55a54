"""Calls from many threads at once each get their own exact result."""

import random
import sys
import threading
import time

import pytest

from _vesk_backend import rsr_gemm
from helpers import ActionIndex, is_panic, plain_product, run_python

THREADS = 8


@pytest.fixture
def frequent_switches():
    # Hand the interpreter lock over as often as possible.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_together(workers):
    """Starts every worker at once; returns the failures they report."""
    barrier = threading.Barrier(len(workers))
    failures = []

    def run(worker):
        barrier.wait()
        try:
            worker()
        except BaseException as error:  # noqa: B036 - report, don't lose
            failures.append(repr(error))

    threads = [threading.Thread(target=run, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    return failures


def product_worker(seed):
    rng = random.Random(seed)
    n, k, m = rng.randint(1, 40), rng.randint(1, 60), rng.randint(1, 40)
    block_size = (4, 6, 8, 0, 5, 7, -1, 2**31 - 1)[seed % 8]
    a, b = rng.randbytes(n * k), rng.randbytes(k * m)
    expected = plain_product(a, b, n, k, m)

    def work():
        for _ in range(40):
            got = rsr_gemm(a, b, n, k, m, block_size)
            assert got == expected, (seed, n, k, m, block_size)
    return work


def test_threads_get_exact_products(frequent_switches):
    assert run_together([product_worker(s) for s in range(THREADS)]) == []


def yielding_index(value):
    """An index that lets other threads run while it is being converted."""
    return ActionIndex(lambda: time.sleep(0) or value)


def mixed_worker(seed):
    rng = random.Random(seed)
    n, k, m = rng.randint(1, 20), rng.randint(1, 30), rng.randint(1, 20)
    a, b = rng.randbytes(n * k), rng.randbytes(k * m)
    expected = plain_product(a, b, n, k, m)

    def work():
        for i in range(60):
            if i % 3 == 0:
                got = rsr_gemm(a, b, yielding_index(n), yielding_index(k),
                               yielding_index(m), 4 + 2 * (seed % 3))
                assert got == expected
            elif i % 3 == 1:
                with pytest.raises(ValueError, match="b_bytes"):
                    rsr_gemm(a, b[:-1], n, yielding_index(k), m, 6)
            else:
                try:
                    rsr_gemm(a, b, yielding_index(-n), k, m, 8)
                except BaseException as error:
                    assert is_panic(error, "capacity overflow"), repr(error)
                else:
                    raise AssertionError("no PanicException")
    return work


def test_threads_mixing_results_and_errors(frequent_switches, capfd):
    assert run_together([mixed_worker(s) for s in range(THREADS)]) == []
    assert capfd.readouterr().err.count("capacity overflow") == 20 * THREADS


def test_first_internal_failure_from_many_threads_at_once():
    # The exception type is made on first use; threads racing to make it all
    # end up with the one type.
    process = run_python(f"""
import sys, threading
from _vesk_backend import rsr_gemm
sys.setswitchinterval(1e-6)
barrier = threading.Barrier({THREADS})
seen = []
def run():
    barrier.wait()
    try:
        rsr_gemm(b'', b'', -1, 1, 1, 4)
    except BaseException as error:
        seen.append(type(error))
threads = [threading.Thread(target=run) for _ in range({THREADS})]
for t in threads: t.start()
for t in threads: t.join()
assert len(seen) == {THREADS} and len(set(seen)) == 1, seen
assert seen[0].__module__ == 'pyo3_runtime', seen
print('ok')
""")
    assert process.returncode == 0, process.stderr[-3000:]
    assert process.stdout.strip() == "ok"
