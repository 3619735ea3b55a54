"""Shared helpers: hypothesis profiles, the plain product, panic detection."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves without it
    settings = None

if settings is not None:
    # VESK_HYPOTHESIS_PROFILE picks how hard the property tests search:
    # "ci" (default) keeps the whole CI run short, "quick" is for re-runs of
    # the suite against each built package, "thorough" searches long.
    _quiet = [HealthCheck.too_slow, HealthCheck.data_too_large]
    settings.register_profile("quick", max_examples=25, deadline=None,
                              suppress_health_check=_quiet)
    settings.register_profile("ci", max_examples=150, deadline=None,
                              suppress_health_check=_quiet)
    settings.register_profile("thorough", max_examples=5000, deadline=None,
                              suppress_health_check=_quiet)
    settings.load_profile(os.environ.get("VESK_HYPOTHESIS_PROFILE", "ci"))

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


def is_panic(error, message=None):
    kind = type(error)
    return (kind.__module__ == "pyo3_runtime"
            and kind.__name__ == "PanicException"
            and (message is None or str(error) == message))


def run_python(code, timeout=300):
    """Runs code in a fresh interpreter; returns the finished process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


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


class ActionIndex:
    """An object whose __index__ returns (or raises) what `action` does."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()
