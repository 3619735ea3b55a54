"""Internal failures reach Python as pyo3_runtime.PanicException."""

import re

import pytest

import _vesk_backend
from _vesk_backend import rsr_gemm
from helpers import Unprintable, panic_type, raising_index, run_python

A = bytes([1, 2, 3, 0, 3, 1])
B = bytes([1, 0xFF, 2, 0, 0xFD, 4])

DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n")
RESUME_LINES = (
    "--- PyO3 is resuming a panic after fetching a PanicException from "
    "Python. ---\nPython stack trace below:\n")


def capacity_overflow():
    try:
        rsr_gemm(A, B, -1, 3, 1, 4)
    except Exception:
        pytest.fail("an internal failure must not be an Exception")
    except BaseException as error:
        return error
    pytest.fail("no exception raised")


def test_capacity_overflow_is_a_panic_exception():
    error = capacity_overflow()
    panic = type(error)
    assert panic.__name__ == panic.__qualname__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__mro__ == (panic, BaseException, object)
    assert panic.__doc__ == DOC
    assert error.args == ("capacity overflow",) and str(error) == (
        "capacity overflow")


def test_one_type_per_process_and_not_a_module_attribute():
    first, second = capacity_overflow(), capacity_overflow()
    assert first is not second and type(first) is type(second)
    assert type(first) not in vars(_vesk_backend).values()


def test_failure_is_reported_on_standard_error():
    run = run_python("""
        from _vesk_backend import rsr_gemm
        try:
            rsr_gemm(b"", b"", 2, 1, -3, 4)
        except BaseException as e:
            print(type(e).__name__, e.args)
    """)
    assert run.stdout == "PanicException ('capacity overflow',)\n"
    assert re.fullmatch(
        r"_vesk_backend: internal failure in thread \d+ at "
        r"src/module/rsr_gemm_entry\.cpp:\d+:\ncapacity overflow\n", run.stderr)


@pytest.mark.parametrize("argument,message", [
    ("resumed message", "resumed message"),
    ("surrogate \ud800", "surrogate \ufffd\ufffd\ufffd"),
    (Unprintable(), "Unwrapped panic from Python code"),
])
def test_panic_from_python_code_is_resumed(argument, message, capfd):
    panic = panic_type()
    capfd.readouterr()
    with pytest.raises(panic) as info:
        rsr_gemm(A, B, raising_index(panic(argument)), 3, 2, 4)
    assert info.value.args == (message,)
    assert info.value.__context__ is None
    err = capfd.readouterr().err
    assert err.startswith(RESUME_LINES + "Traceback (most recent call last):")
    assert "in __index__" in err and "PanicException" in err
    assert "internal failure in thread" not in err


def test_resumed_panic_reported_in_a_fresh_interpreter():
    run = run_python("""
        from _vesk_backend import rsr_gemm
        try:
            rsr_gemm(b"", b"", -1, 0, 1, 4)
        except BaseException as e:
            panic = type(e)
        class Index:
            def __index__(self):
                raise panic("M")
        try:
            rsr_gemm(b"", b"", 1, Index(), 1, 4)
        except BaseException as e:
            print(type(e) is panic, e.args)
    """)
    assert run.stdout == "True ('M',)\n"
    resumed = run.stderr[run.stderr.index("--- PyO3"):]
    assert resumed.startswith(RESUME_LINES)
    assert resumed.endswith("pyo3_runtime.PanicException: M\n")
