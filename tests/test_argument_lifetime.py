"""The call holds its own reference to every argument until it returns.

Python code can run in mid-call: an argument's __index__, and a garbage
collection (with its gc.callbacks) started by the result list's allocation.
Such code may drop every other reference to an argument; the call reads the
bytes arguments in place, so it must not depend on the caller's references.
functools.partial passes its stored arguments as borrowed references, and
__setstate__ drops them.
"""

import functools
import gc

from _vesk_backend import rsr_gemm
from helpers import ActionIndex, plain_product

N = 200  # every value of the N x N product of ones is N


class Watched(bytes):
    """bytes that record when they are freed."""
    freed = []

    def __del__(self):
        Watched.freed.append(len(self))


class DroppingPartial:
    """A partial application of rsr_gemm to two Watched buffers of ones,
    whose `drop` releases them while a call may still be using them."""

    def __init__(self):
        Watched.freed.clear()
        ones = bytes([1]) * (N * N)
        self.partial = functools.partial(rsr_gemm, Watched(ones),
                                         Watched(ones))
        self.freed_in_call = None
        self.junk = []

    def drop(self):
        self.partial.__setstate__((rsr_gemm, (), {}, None))
        self.freed_in_call = list(Watched.freed)
        # Other bytes of the same size fill whatever memory was freed.
        self.junk.extend(bytes([7]) * (N * N) for _ in range(64))

    def check(self, result):
        assert self.freed_in_call == [], "arguments freed in mid-call"
        assert result == [N] * (N * N)
        assert Watched.freed == [N * N] * 2, "arguments kept after the call"


def test_index_that_drops_the_bytes_arguments():
    dropping = DroppingPartial()

    def action():
        dropping.drop()
        return N

    dropping.check(dropping.partial(ActionIndex(action), N, N, 4))


def test_collection_that_drops_the_bytes_arguments():
    dropping = DroppingPartial()
    armed = [False]

    def callback(phase, info):
        if armed[0] and phase == "start":
            armed[0] = False
            dropping.drop()

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    try:
        # Collect at almost every allocation of a tracked object: the result
        # list's is one.
        gc.collect()
        gc.set_threshold(1)
        armed[0] = True
        result = dropping.partial(N, N, N, 4)
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert not armed[0], "no collection ran during the call"
    dropping.check(result)


def test_index_that_drops_the_callers_keyword_arguments():
    # The interpreter copies a keyword dictionary's values for the call, so
    # this holds even without the call's own references.
    kwargs = {}

    def action():
        kwargs.clear()
        gc.collect()
        return 2

    kwargs.update(a_bytes=bytes([1, 2, 3, 1]), b_bytes=bytes([5, 7, 11, 13]),
                  n=ActionIndex(action), k=2, m=2, block_size=4)
    assert rsr_gemm(**kwargs) == plain_product(bytes([1, 2, 3, 1]),
                                               bytes([5, 7, 11, 13]), 2, 2, 2)
