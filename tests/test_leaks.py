"""Repeating any outcome, success or error, leaks neither references nor
memory: argument refcounts stay put, and the interpreter's heap (tracemalloc),
the native heap (mallinfo2; on Windows, the heaps' busy blocks) and the
resident size stay flat."""

import ctypes
import gc
import sys
import tracemalloc

import pytest

from _vesk_backend import rsr_gemm
from helpers import (MAX_DEPTH, SANITIZED, ActionIndex, RaisingQualname,
                     index_of, panic_type)


def raise_type_error():
    try:
        raise KeyError("cause")
    except KeyError as cause:
        raise TypeError("bad") from cause


def raise_value_error():
    raise ValueError("from __index__")


def raise_panic():
    raise panic_type()("from __index__")


A = bytes(range(256)) * 4
B = bytes(range(255, -1, -1)) * 4
DEEP = bytes(MAX_DEPTH + 1)

# name -> (positional arguments, keyword arguments); each call's objects are
# made once, so their refcounts can be compared across calls.
OUTCOMES = {
    "product block 4": ((A, B, 16, 32, 24, 4), {}),
    "product block 6": ((A, B, 16, 32, 8, 6), {}),
    "product block 8": ((A, B, 9, 20, 2, 8), {}),
    "product from keywords": ((A,), dict(b_bytes=B, n=index_of(3), k=5, m=7,
                                         block_size=5)),
    "zeros": ((A, B, 6, 0, 6, 4), {}),
    "empty": ((A, B, 0, 3, 6, 4), {}),
    "bytes refused": ((bytearray(A), B, 1, 1, 1, 4), {}),
    "unnamed type refused": ((RaisingQualname("X", (), {})(), B, 1, 1, 1, 4), {}),
    "float refused": ((A, B, 1.5, 1, 1, 4), {}),
    "index TypeError renamed": ((A, B, 1, ActionIndex(raise_type_error), 1, 4), {}),
    "index ValueError passed": ((A, B, 1, 1, ActionIndex(raise_value_error), 4),
                                {}),
    "index non-int": ((A, B, 1, 1, 1, index_of("4")), {}),
    "index panic resumed": ((A, B, ActionIndex(raise_panic), 1, 1, 4), {}),
    "int too large": ((A, B, 1, 2**40, 1, 4), {}),
    "too many positional": ((A, B, 1, 1, 1, 4, 5), {}),
    "multiple values": ((A, B, 1, 1, 1, 4), dict(n=1)),
    "unexpected keyword": ((A, B, 1, 1, 1), dict(Block_size=4)),
    "missing": ((A,), dict(m=1)),
    "negative m": ((A, B, -1, 1, -1, 4), {}),
    "short a_bytes": ((A, B, 2000, 1, 1, 4), {}),
    "short b_bytes": ((A, B, 1, 1, 2000, 4), {}),
    "k too deep": ((DEEP, DEEP, 1, MAX_DEPTH + 1, 1, 4), {}),
    "capacity overflow": ((A, B, -1, 1, 1, 4), {}),
    "output beyond any list": ((A, B, 2**31 - 1, 0, 2**31 - 1, 4), {}),
}


def call(args, kwargs):
    try:
        rsr_gemm(*args, **kwargs)
    except BaseException:  # PanicException is a BaseException
        pass


def refcounts(args, kwargs):
    # Small ints are shared with the rest of the process; leave them out.
    return [sys.getrefcount(x) for x in (*args, *kwargs.values())
            if not (type(x) in (int, bool) and -5 <= x <= 256)]


@pytest.mark.parametrize("name", sorted(OUTCOMES))
def test_repeated_outcome_keeps_argument_refcounts(name):
    args, kwargs = OUTCOMES[name]
    call(args, kwargs)
    gc.collect()
    before = refcounts(args, kwargs)
    for _ in range(300):
        call(args, kwargs)
    gc.collect()
    assert refcounts(args, kwargs) == before


# Under a preloaded ASan runtime tracemalloc sees the heap grow even for
# pure-Python code that formats tracebacks, so this runs in the plain build.
@pytest.mark.skipif(SANITIZED, reason="tracemalloc drifts under ASan")
@pytest.mark.parametrize("name", sorted(OUTCOMES))
def test_repeated_outcome_keeps_interpreter_heap_flat(name):
    args, kwargs = OUTCOMES[name]
    tracemalloc.start()
    try:
        for _ in range(20):
            call(args, kwargs)
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(500):
            call(args, kwargs)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 16 * 1024, f"{growth} bytes more after 500 calls"


class MallInfo2(ctypes.Structure):
    _fields_ = [(field, ctypes.c_size_t) for field in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def glibc_heap_in_use():
    """Bytes allocated from glibc's heap, or None without mallinfo2."""
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    function.restype = MallInfo2

    def in_use():
        info = function()
        return info.uordblks + info.hblkhd
    return in_use


class HeapEntry(ctypes.Structure):  # PROCESS_HEAP_ENTRY
    _fields_ = [("data", ctypes.c_void_p), ("size", ctypes.c_uint32),
                ("overhead", ctypes.c_uint8), ("region", ctypes.c_uint8),
                ("flags", ctypes.c_uint16), ("rest", ctypes.c_uint8 * 24)]


def windows_heaps_in_use():
    """Bytes in the busy blocks of all the process's heaps: every C runtime's
    (the module's may not be the interpreter's) allocates from one of them."""
    kernel32 = ctypes.WinDLL("kernel32")
    handles = ctypes.POINTER(ctypes.c_void_p)
    kernel32.GetProcessHeaps.argtypes = [ctypes.c_uint32, handles]
    kernel32.HeapWalk.argtypes = [ctypes.c_void_p, ctypes.POINTER(HeapEntry)]
    kernel32.HeapLock.argtypes = kernel32.HeapUnlock.argtypes = [
        ctypes.c_void_p]
    busy = 0x4  # PROCESS_HEAP_ENTRY_BUSY

    def in_use():
        heaps = (ctypes.c_void_p * 256)()
        count = kernel32.GetProcessHeaps(len(heaps), heaps)
        assert 0 < count <= len(heaps)
        total = 0
        for heap in heaps[:count]:
            entry = HeapEntry()
            kernel32.HeapLock(heap)
            try:
                while kernel32.HeapWalk(heap, ctypes.byref(entry)):
                    total += entry.size if entry.flags & busy else 0
            finally:
                kernel32.HeapUnlock(heap)
        return total
    return in_use


def native_heap_function():
    if SANITIZED:
        return None
    if sys.platform.startswith("linux"):
        return glibc_heap_in_use()
    return windows_heaps_in_use() if sys.platform == "win32" else None


NATIVE_HEAP_IN_USE = native_heap_function()


@pytest.mark.skipif(NATIVE_HEAP_IN_USE is None,
                    reason="needs glibc's mallinfo2 or Windows' HeapWalk, "
                           "and no sanitizer")
@pytest.mark.parametrize("name", sorted(OUTCOMES))
def test_repeated_outcome_keeps_native_heap_flat(name):
    # Also sees the module's own C++ allocations, which tracemalloc cannot.
    args, kwargs = OUTCOMES[name]
    for _ in range(20):
        call(args, kwargs)
    gc.collect()
    before = NATIVE_HEAP_IN_USE()
    for _ in range(1000):
        call(args, kwargs)
    gc.collect()
    growth = NATIVE_HEAP_IN_USE() - before
    assert growth < 32 * 1024, f"{growth} bytes more after 1000 calls"


def resident_bytes():
    import resource  # Unix only, like /proc
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * resource.getpagesize()


@pytest.mark.skipif(not sys.platform.startswith("linux") or SANITIZED,
                    reason="needs /proc; ASan keeps freed memory quarantined")
@pytest.mark.parametrize("n,k,m,block_size", [(400, 12, 300, 4),
                                              (400, 12, 100, 6),
                                              (4000, 8, 16, 8)])
def test_large_products_keep_resident_size_flat(n, k, m, block_size):
    # Each call's output is at least 256 KiB and its list twice that: over
    # 200 calls a leak of either, or of the lookup table, adds 50 MiB or more.
    a, b = bytes(range(256)) * (n * k // 256 + 1), bytes(range(256)) * 15
    for _ in range(5):
        rsr_gemm(a, b, n, k, m, block_size)
    gc.collect()
    before = resident_bytes()
    for _ in range(200):
        rsr_gemm(a, b, n, k, m, block_size)
    gc.collect()
    growth = resident_bytes() - before
    assert growth < 16 << 20, f"resident size grew by {growth} bytes"
