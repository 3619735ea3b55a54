"""Helpers shared by the test modules: build facts, the plain product, the
internal-failure exception, and objects that misbehave on purpose."""

import functools
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _vesk_backend import rsr_gemm

# Set by .ci/run for the run under AddressSanitizer/UBSan. Such a process
# cannot live under a lowered address-space limit, and ASan aborts (by design)
# when a throwing operator new cannot be met, so those checks run only in the
# plain build.
SANITIZED = bool(os.environ.get("VESK_SANITIZE"))
needs_plain_build = pytest.mark.skipif(
    SANITIZED, reason="ASan aborts on a failed throwing new / lowered RLIMIT_AS")

MAX_DEPTH = 2**31 // 384  # largest k whose sums always fit in 32 bits


def plain_product(a, b, n, k, m):
    """sum_t (A[r][t] & 3) * int8(B[t][c]), row-major, exact in 64 bits."""
    codes = np.frombuffer(a, np.uint8, n * k).reshape(n, k) & 3
    values = np.frombuffer(b, np.int8, k * m).reshape(k, m)
    return (codes.astype(np.int64) @ values.astype(np.int64)).ravel().tolist()


def run_python(code, timeout=300, env=None):
    """Runs code in a fresh interpreter; returns the finished process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          env=env)


# A folder of helper programs built beforehand (.ci/windows cross-builds them
# for Windows), used instead of building them here.
PREBUILT = os.environ.get("VESK_TEST_PROGRAMS")


def build_with_cmake(source, build, target):
    """Configures and builds the CMake project in `source` for this
    interpreter; returns the path of the built file whose name starts with
    `target` (a program or an extension module). Takes it from
    VESK_TEST_PROGRAMS instead where that is set."""
    if PREBUILT:
        build = PREBUILT
    elif shutil.which("cmake") is None:
        pytest.skip(f"building {target} at test time needs CMake")
    else:
        for command in (["cmake", "-S", source, "-B", build,
                         f"-DPython_EXECUTABLE={sys.executable}"],
                        ["cmake", "--build", build, "--config", "Release"]):
            run = subprocess.run(command, capture_output=True, text=True)
            assert run.returncode == 0, (run.stdout[-3000:] +
                                         run.stderr[-3000:])
    found = [path for path in pathlib.Path(build).rglob(target + "*")
             if path.is_file() and path.suffix in ("", ".exe", ".so", ".pyd")]
    assert found, f"{target} was not built"
    return found[0]


# --- the internal-failure exception -----------------------------------------

def is_panic(error, message=None):
    """Whether `error` is a pyo3_runtime.PanicException (of any module that
    makes one), with `message` if given."""
    kind = type(error)
    return (kind.__module__ == "pyo3_runtime"
            and kind.__name__ == "PanicException"
            and (message is None or str(error) == message))


@functools.lru_cache(maxsize=None)
def panic_type():
    """The module's exception type, caught from a capacity overflow (which
    reports itself on standard error)."""
    try:
        rsr_gemm(b"", b"", -1, 0, 1, 4)
    except BaseException as error:
        assert is_panic(error), repr(error)
        return type(error)
    raise AssertionError("no internal failure")


# --- objects that misbehave --------------------------------------------------

class ActionIndex:
    """An object whose __index__ returns (or raises) what `action` does."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def index_of(value):
    """An object whose __index__ returns `value` (which need not be an int)."""
    return ActionIndex(lambda: value)


def raising_index(error):
    """An object whose __index__ raises `error`."""
    def action():
        raise error
    return ActionIndex(action)


class Unprintable:
    """An object whose str() raises."""

    def __str__(self):
        raise RuntimeError("cannot show")


class RaisingQualname(type):
    """A metaclass whose classes' __qualname__ cannot be read."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class IntQualname(type):
    """A metaclass whose classes' __qualname__ is not a str."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)
