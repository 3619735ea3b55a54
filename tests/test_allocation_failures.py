"""Failed allocations end the call with an exception, never the process.

Interpreter allocations are failed with _testcapi.set_nomemory; native ones
by lowering the address-space limit. Each runs in a child interpreter, so a
crash shows as its exit status.

Tests marked crash_check accept either outcome where memory runs out at an
unpredictable point (the result, or one of the few exceptions allowed
there): what they catch is a crash, a lost exception or a wrong result.
"""

import json
import re
import subprocess
import sys
import textwrap

import pytest

from helpers import needs_plain_build, run_python

try:
    import _testcapi
    HAS_NOMEMORY = hasattr(_testcapi, "set_nomemory")
except ImportError:
    HAS_NOMEMORY = False

needs_nomemory = pytest.mark.skipif(
    not HAS_NOMEMORY, reason="this Python has no _testcapi.set_nomemory")
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="RLIMIT_AS and /proc are Linux's")

# The arguments of each call, as source.
CASES = {
    "small values": "b'\\x01\\x02' * 6, b'\\x01\\x02' * 6, 3, 4, 3, 4",
    "large values": "b'\\x03' * 40, b'\\x7f' * 40, 4, 10, 4, 8",
    # Enough elements for shared ints, with over a hundred new ones to make.
    "many values":
        "bytes(i * i // 7 % 256 for i in range(256)), bytes(range(256)), "
        "64, 4, 64, 4",
    "zeros": "b'', b'', 5, 0, 7, 6",
    "bytearray": "bytearray(4), b'', 1, 1, 1, 4",
    "float": "b'', b'', 1.5, 1, 1, 4",
    "index raises TypeError": "b'', b'', 1, Raises(TypeError('t')), 1, 4",
    "index raises panic": "b'', b'', 1, Raises(PANIC('p')), 1, 4",
    "too many": "1, 2, 3, 4, 5, 6, 7",
    "missing": "b'', n=1, k=2",
    "unexpected keyword": "b'', b'', 1, 1, 1, bs=4",
    "int too large": "b'', b'', 2**40, 1, 1, 4",
    "negative m": "b'', b'', 0, 1, -1, 4",
    "short a_bytes": "b'', b'', 2, 2, 2, 4",
    "capacity overflow": "b'', b'', -1, 1, 1, 4",
}

CHILD = textwrap.dedent("""
    import json, operator, sys, _testcapi
    from _vesk_backend import rsr_gemm

    def panic_type():
        try:
            rsr_gemm(b'', b'', -1, 0, 1, 4)
        except BaseException as error:
            return type(error)

    class Raises:
        def __init__(self, error):
            self.error = error
        def __index__(self):
            raise self.error

    def describe(call):
        try:
            return ["value", call()]
        except BaseException as error:
            return ["raises", type(error).__name__, str(error)]

    def under_nomemory(args, kwargs, start, stop):
        # CPython 3.11 loses the exception in flight when a Python frame that
        # raised (the lambda of a call, an __index__) is popped while its
        # caller's frame object cannot be made: take_ownership in
        # Python/frame.c clears the error, and the caller then fails with
        # none set. So this frame's object is made before memory runs out,
        # and rsr_gemm is called from here, with no frame in between.
        sys._getframe()
        _testcapi.set_nomemory(start, stop)
        try:
            # Through operator.call, so a null return without an exception
            # would be reported as such, naming rsr_gemm.
            result = operator.call(rsr_gemm, *args, **kwargs)
        except BaseException as error:
            _testcapi.remove_mem_hooks()
            return ["raises", type(error).__name__, str(error)]
        _testcapi.remove_mem_hooks()
        return ["value", result]

    source, windows, warm = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
    PANIC = panic_type() if warm == "warm" or "PANIC" in source else None
    args, kwargs = eval("(lambda *args, **kwargs: (args, kwargs))("
                        + source + ")")

    def call():
        return rsr_gemm(*args, **kwargs)

    # Cold: the windows come first, so making the exception type can fail.
    expected = describe(call) if warm == "warm" else None
    seen = [under_nomemory(args, kwargs, start, stop)
            for start, stop in windows]
    after = describe(call)
    assert expected in (None, after), "the interpreter is no longer usable"
    expected = after
    print(json.dumps({"expected": expected, "seen": seen}))
""")


def allowed(outcome, expected):
    if outcome == expected:
        return True
    if outcome[0] != "raises":
        return False
    kind, message = outcome[1:]
    if kind == "MemoryError":
        return True
    if kind == "PanicException":
        return message == "Python API call failed"
    # The interpreter raises its own TypeError without a message when it
    # cannot make the message; the parameter's name still leads.
    named = re.match(r"argument '\w+': ", expected[2])
    if kind == expected[1] == "TypeError" and named:
        if message == named.group():
            return True
    # A type name that could not be read is shown as such.
    unnamed = re.sub(r"'[^']*' object", "'<failed to extract type name>' "
                     "object", expected[2], count=1)
    return [kind, message] == [expected[1], unnamed]


def run_child(source, windows, warm):
    """Runs the call once for each (start, stop) of set_nomemory in one
    child; returns its outcome with memory to spare and the outcome in each
    window of failing allocations."""
    process = subprocess.run(
        [sys.executable, "-c", CHILD, source, json.dumps(windows), warm],
        capture_output=True, text=True, timeout=300)
    assert process.returncode == 0, (
        f"exit status {process.returncode}\n{process.stderr[-3000:]}")
    report = json.loads(process.stdout.strip().splitlines()[-1])
    return report["expected"], report["seen"]


@pytest.mark.crash_check
@needs_nomemory
@pytest.mark.parametrize("case", sorted(CASES))
def test_every_failed_interpreter_allocation_is_survived(case):
    source = CASES[case]
    # Warm: the exception type already exists; the n-th allocation fails,
    # alone or with all after it. Cold: a fresh process whose first call
    # fails, so even creating the exception type can fail.
    windows = [[start, stop] for start in range(120)
               for stop in (start + 1, 0)]
    checks = [(windows, run_child(source, windows, "warm"))]
    for start in range(8):
        cold = [[start, 0]]
        checks.append((cold, run_child(source, cold, "cold")))
    for windows, (expected, seen) in checks:
        assert expected[0] == "value" or expected[1] != "MemoryError"
        for window, outcome in zip(windows, seen):
            assert allowed(outcome, expected), (window, outcome, expected)


@needs_nomemory
def test_first_internal_failure_without_memory_is_memory_error():
    # The exception type and its arguments are made on the first internal
    # failure: without memory for them, the call still ends in MemoryError
    # rather than aborting the process.
    expected, seen = run_child("b'', b'', -1, 1, 1, 4", [[0, 0]], "cold")
    assert expected == ["raises", "PanicException", "capacity overflow"]
    assert seen == [["raises", "MemoryError", ""]]


LIMITED = textwrap.dedent("""
    import resource, sys
    from _vesk_backend import rsr_gemm

    # Room for about 256 MiB more than the interpreter already maps.
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    limit = mapped + (256 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        rsr_gemm({args})
    except BaseException as error:
        print(type(error).__name__, error)
    else:
        print("returned")
    assert rsr_gemm(b'\\x01\\x02', b'\\x03\\x04', 1, 2, 1, 4) == [11]
""")


@pytest.mark.crash_check
@needs_plain_build
@linux_only
@pytest.mark.parametrize("args,expected", [
    # The list's storage, which also holds the output: 8 GiB, then 256 MiB.
    ("b'', b'', 1 << 15, 0, 1 << 15, 4", "MemoryError "),
    ("b'', b'', 1 << 13, 0, 1 << 12, 4", "MemoryError "),
    # Today's kernel asks for lookup tables of 1, 16 and 256 GiB here; one
    # that needs less may return instead.
    ("b'\\x01', bytes(1 << 21), 1, 1, 1 << 21, 4", "MemoryError |returned"),
    ("b'\\x01', bytes(1 << 21), 1, 1, 1 << 21, 6", "MemoryError |returned"),
    ("b'\\x01', bytes(1 << 21), 1, 1, 1 << 21, 8", "MemoryError |returned"),
])
def test_native_allocation_beyond_limit_is_survived(args, expected):
    process = run_python(LIMITED.format(args=args))
    assert process.returncode == 0, process.stderr[-3000:]
    assert process.stdout.splitlines()[0] in expected.split("|")


INIT_CHILD = textwrap.dedent("""
    import _imp, glob, importlib.machinery, os, sys, types, _testcapi
    start, stop = int(sys.argv[1]), int(sys.argv[2])
    path = next(found for entry in sys.path
                for suffix in importlib.machinery.EXTENSION_SUFFIXES
                for found in glob.glob(
                    os.path.join(entry or ".", "_vesk_backend" + suffix)))
    module = types.SimpleNamespace(name="_vesk_backend", origin=path)
    _testcapi.set_nomemory(start, stop)
    try:
        _imp.create_dynamic(module)  # runs the init function
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        outcome = [type(error).__name__, str(error)]
    else:
        _testcapi.remove_mem_hooks()
        outcome = ["ok"]
    import _vesk_backend  # a failed init can be retried
    assert _vesk_backend.rsr_gemm(b'\\x01\\x02', b'\\x03\\x04', 1, 2, 1, 4) == [11]
    assert _vesk_backend.__all__ == ["rsr_gemm"], _vesk_backend.__all__
    print(repr(outcome))
""")


@pytest.mark.crash_check
@needs_nomemory
@pytest.mark.parametrize("one_at_a_time", [True, False])
def test_module_init_survives_failed_allocations(one_at_a_time):
    # A fresh process per start: a module initialised once is reused.
    outcomes = []
    for start in range(48):
        stop = start + 1 if one_at_a_time else 0
        process = subprocess.run(
            [sys.executable, "-c", INIT_CHILD, str(start), str(stop)],
            capture_output=True, text=True, timeout=120)
        assert process.returncode == 0, (start, process.stderr[-3000:])
        outcomes.append(eval(process.stdout))
    assert outcomes[-1] == ["ok"]
    # Adding to __all__ fails only without memory; init reports that as an
    # internal failure of its own.
    for outcome in outcomes:
        assert outcome in (["ok"], ["MemoryError", ""],
                           ["PanicException", "Python API call failed"],
                           ["PanicException",
                            "could not append __name__ to __all__"]), outcome


@needs_plain_build
@linux_only
@pytest.mark.parametrize("block_size", [4, 6, 8])
def test_small_wide_product_needs_little_memory(block_size):
    # 1 x 1 times 1 x 2**18: a 1 MiB output; every block size gives the same
    # result, so each must fit in the same modest memory.
    args = f"b'\\x03', b'\\x05' * (1 << 18), 1, 1, 1 << 18, {block_size}"
    process = run_python(LIMITED.format(args=args))
    assert process.returncode == 0, process.stderr[-3000:]
    assert process.stdout.splitlines()[0] == "returned"
