"""Property tests: for any call, the result is exactly the plain product or the
documented exception for that case, and nothing else.

A small pure-Python model predicts each call's outcome in three stages, as
the module processes it: binding, conversion, then the numbers.
"""

import re

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

from _vesk_backend import rsr_gemm  # noqa: E402
from helpers import (  # noqa: E402
    MAX_DEPTH, ActionIndex, IntQualname, RaisingQualname, Unprintable,
    index_of, is_panic, plain_product, raising_index)

PARAMS = ("a_bytes", "b_bytes", "n", "k", "m", "block_size")
I32_MIN, I32_MAX = -2**31, 2**31 - 1


class Outcome:
    """What a call must do: return `value`, or raise `kind` whose message
    equals `message` (a str) or matches it (a compiled pattern)."""

    def __init__(self, value=None, kind=None, message=None):
        self.value, self.kind, self.message = value, kind, message

    def check(self, call):
        try:
            got = call()
        except BaseException as error:  # PanicException is a BaseException
            assert self.kind is not None, f"unexpected {error!r}"
            if self.kind == "panic":
                assert is_panic(error, self.message), repr(error)
            else:
                assert type(error) is self.kind, repr(error)
                text = str(error)
                if isinstance(self.message, re.Pattern):
                    assert self.message.search(text), text
                elif self.message is not None:
                    assert text == self.message
            return
        assert self.kind is None, f"returned instead of raising {self.kind}"
        assert type(got) is list and all(type(x) is int for x in got)
        assert got == self.value


# --- the numbers ------------------------------------------------------------

def numbers_outcome(a, b, n, k, m):
    count = n * m
    if count < 0:
        return Outcome(kind="panic", message="capacity overflow")
    if m < 0:
        return Outcome(kind=ValueError, message=re.compile(r"\bm\b"))
    if count == 0:
        return Outcome(value=[])
    if k <= 0:
        return Outcome(value=[0] * count)
    if len(a) < n * k:
        return Outcome(kind=ValueError, message=re.compile(r"\ba_bytes\b"))
    if len(b) < k * m:
        return Outcome(kind=ValueError, message=re.compile(r"\bb_bytes\b"))
    if k > MAX_DEPTH:
        return Outcome(kind=OverflowError, message=re.compile(r"\bk\b"))
    return Outcome(value=plain_product(a, b, n, k, m))


block_sizes = st.one_of(
    st.sampled_from([4, 6, 8, 0, 5, 7, 1, -1, -4, -6, -8, 16, 1000,
                     I32_MIN, I32_MAX]),
    st.integers(I32_MIN, I32_MAX))


@st.composite
def shapes_and_buffers(draw):
    n, k, m = (draw(st.integers(-3, 12)) for _ in range(3))

    def buffer(needed):
        # Short, exact or long, around the length the shape asks for.
        size = draw(st.one_of(st.just(max(needed, 0)),
                              st.integers(0, max(needed, 0) + 8)))
        return draw(st.binary(min_size=size, max_size=size))

    return buffer(n * k), buffer(k * m), n, k, m


@given(shapes_and_buffers(), block_sizes)
def test_numbers_match_plain_product_or_documented_error(case, block_size):
    a, b, n, k, m = case
    numbers_outcome(a, b, n, k, m).check(
        lambda: rsr_gemm(a, b, n, k, m, block_size))


# m stays small: each segment of 8 builds a table of 65536 rows of m values.
@given(st.integers(1, 70), st.integers(1, 70), st.integers(1, 33),
       st.randoms(use_true_random=False))
def test_every_block_size_gives_the_same_exact_product(n, k, m, rng):
    a = rng.randbytes(n * k)
    b = rng.randbytes(k * m)
    expected = plain_product(a, b, n, k, m)
    for block_size in (4, 6, 8, 0, 5, 7, -1, I32_MAX):
        assert rsr_gemm(a, b, n, k, m, block_size) == expected


@pytest.mark.parametrize("n,k,m,a_len,b_len,outcome", [
    # Dimensions at the edges of 32 bits: nothing is allocated or read.
    (I32_MAX, 5, 0, 0, 0, Outcome(value=[])),
    (0, I32_MAX, I32_MAX, 0, 0, Outcome(value=[])),
    (I32_MIN, I32_MIN, I32_MIN, 0, 0,
     Outcome(kind=ValueError, message=re.compile(r"\bm\b"))),
    # A negative m is refused even when n = 0 leaves nothing to compute.
    (0, 0, -1, 0, 0, Outcome(kind=ValueError, message=re.compile(r"\bm\b"))),
    (0, 5, I32_MIN, 0, 0,
     Outcome(kind=ValueError, message=re.compile(r"\bm\b"))),
    (I32_MIN, 1, 1, 0, 0, Outcome(kind="panic", message="capacity overflow")),
    (1, 1, I32_MIN, 0, 0, Outcome(kind="panic", message="capacity overflow")),
    (I32_MAX, I32_MAX, I32_MAX, 0, 0,
     Outcome(kind=ValueError, message=re.compile(r"\ba_bytes\b"))),
    (2, I32_MAX // 2 + 1, 1, 2**20, 0,  # n*k overflows 32 bits
     Outcome(kind=ValueError, message=re.compile(r"\ba_bytes\b"))),
    (1, 3, I32_MAX, 3, 2**20,  # k*m overflows 32 bits
     Outcome(kind=ValueError, message=re.compile(r"\bb_bytes\b"))),
    # More elements than any list can hold.
    (I32_MAX, 0, I32_MAX, 0, 0, Outcome(kind=MemoryError)),
    (I32_MAX, -7, I32_MAX, 0, 0, Outcome(kind=MemoryError)),
    # The deepest k that is still exact, and one beyond.
    (1, MAX_DEPTH, 1, MAX_DEPTH, MAX_DEPTH, Outcome(value=[-3 * MAX_DEPTH])),
    (1, MAX_DEPTH + 1, 1, MAX_DEPTH + 1, MAX_DEPTH + 1,
     Outcome(kind=OverflowError, message=re.compile(r"\bk\b"))),
])
def test_extreme_dimensions(n, k, m, a_len, b_len, outcome):
    a, b = b"\x03" * a_len, b"\xff" * b_len
    outcome.check(lambda: rsr_gemm(a, b, n, k, m, 4))


# --- conversion -------------------------------------------------------------

class BytesChild(bytes):
    pass


class Meta(type):
    pass


class OwnTypeError(TypeError):
    pass


def _odd_type(meta, name):
    return meta(name, (), {})()


class Outer:
    class Inner:
        pass


def _bytes_arg(name):
    """(value, expected failure text or None) pools for a bytes parameter."""
    def refused(obj, shown):
        return (obj, f"argument '{name}': '{shown}' object cannot be "
                     f"converted to 'PyBytes'")
    return [
        (b"\x01\x02\x03\x04", None),
        (BytesChild(b"\x03\x02\x01\x00"), None),
        refused(bytearray(b"\x01\x02\x03\x04"), "bytearray"),
        refused(memoryview(b"\x01\x02\x03\x04"), "memoryview"),
        refused("\x01\x02\x03\x04", "str"),
        refused(None, "NoneType"),
        refused(4, "int"),
        refused(Outer.Inner(), "Outer.Inner"),
        refused(_odd_type(Meta, "Ünïcödé"), "Ünïcödé"),
        refused(_odd_type(RaisingQualname, "R"), "<failed to extract type name>"),
        refused(_odd_type(IntQualname, "I"), "<failed to extract type name>"),
    ]


def _int_arg(name):
    """(value, effective int) for good values, (value, (kind, text)) for bad
    ones; text None means "this exact exception object, unchanged"."""
    plain_type = (TypeError, f"argument '{name}': '{{}}' object cannot be "
                             "interpreted as an integer")
    value_error = ValueError("from __index__")
    own_type_error = OwnTypeError("subclass of TypeError")
    return [
        (1, 1), (2, 2), (0, 0), (True, 1), (False, 0), (index_of(2), 2),
        (2**31, (OverflowError, "Python int too large to convert to C long")),
        (-2**31 - 1,
         (OverflowError, "Python int too large to convert to C long")),
        (10**40, (OverflowError, "Python int too large to convert to C long")),
        (index_of(2**40),
         (OverflowError, "Python int too large to convert to C long")),
        (1.0, (TypeError, plain_type[1].format("float"))),
        ("1", (TypeError, plain_type[1].format("str"))),
        (None, (TypeError, plain_type[1].format("NoneType"))),
        (b"1", (TypeError, plain_type[1].format("bytes"))),
        (index_of("2"),
         (TypeError,
          f"argument '{name}': __index__ returned non-int (type str)")),
        (index_of(2.0),
         (TypeError,
          f"argument '{name}': __index__ returned non-int (type float)")),
        (raising_index(TypeError("inner")),
         (TypeError, f"argument '{name}': inner")),
        (raising_index(value_error), (value_error, None)),
        (raising_index(own_type_error), (own_type_error, None)),
    ]


def conversion_outcome(values):
    """The first failing parameter's error, or the converted values."""
    converted = []
    for name, (value, verdict) in zip(PARAMS, values):
        if name in ("a_bytes", "b_bytes"):
            if verdict is not None:
                return Outcome(kind=TypeError, message=verdict), None
            converted.append(bytes(value))
        elif isinstance(verdict, tuple):
            kind, text = verdict
            if isinstance(kind, BaseException):
                return Outcome(kind=kind), None  # the very same object
            return Outcome(kind=kind, message=text), None
        else:
            converted.append(verdict)
    return None, converted


@given(st.data())
def test_conversion_first_failure_wins(data):
    picks = [data.draw(st.sampled_from(_bytes_arg(name) if i < 2
                                       else _int_arg(name)), label=name)
             for i, name in enumerate(PARAMS)]
    failure, converted = conversion_outcome(picks)
    args = [value for value, _ in picks]
    if failure is None:
        a, b, n, k, m, _ = converted
        numbers_outcome(a, b, n, k, m).check(lambda: rsr_gemm(*args))
        return
    if isinstance(failure.kind, BaseException):
        with pytest.raises(type(failure.kind)) as caught:
            rsr_gemm(*args)
        assert caught.value is failure.kind
        return
    failure.check(lambda: rsr_gemm(*args))


def test_renamed_type_error_keeps_cause_and_hides_context():
    cause = KeyError("root")

    def action():
        try:
            raise LookupError("context")
        except LookupError:
            raise TypeError("bad index") from cause

    with pytest.raises(TypeError) as caught:
        rsr_gemm(b"", b"", 1, 0, ActionIndex(action), 4)
    assert str(caught.value) == "argument 'm': bad index"
    assert caught.value.__cause__ is cause
    assert caught.value.__suppress_context__


# The message that cannot be shown is reported as unraisable, on purpose.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_type_error_that_cannot_be_shown_still_gets_its_prefix():
    with pytest.raises(TypeError) as caught:
        rsr_gemm(b"", b"", 1, raising_index(TypeError(Unprintable())), 1, 4)
    assert str(caught.value).startswith("argument 'k': ")


def test_index_may_call_rsr_gemm_itself():
    inner = []

    def action():
        inner.append(rsr_gemm(b"\x03", b"\x7f", 1, 1, 1, 8))
        return 1

    assert rsr_gemm(b"\x02", b"\x05", ActionIndex(action), 1, 1, 4) == [10]
    assert inner == [[381]]


class LyingBytes(bytes):
    """A bytes subclass whose Python-level view disagrees with its data."""

    def __len__(self):
        return 10**6

    def __getitem__(self, index):
        return 0

    def __bytes__(self):
        return b"\x03" * 64


@pytest.mark.parametrize("data,n,k,m,outcome", [
    # Only the stored bytes count: their real length and content.
    (b"\x01\x02\x03\x01", 2, 2, 2, None),
    (b"\x01\x02\x03", 2, 2, 2,
     Outcome(kind=ValueError, message=re.compile(r"\ba_bytes\b"))),
    (b"", 1, 1, 1,
     Outcome(kind=ValueError, message=re.compile(r"\ba_bytes\b"))),
])
def test_bytes_subclass_is_read_by_its_stored_data(data, n, k, m, outcome):
    a, b = LyingBytes(data), LyingBytes(bytes([5, 7, 11, 13]))
    if outcome is None:
        outcome = Outcome(value=plain_product(data, bytes([5, 7, 11, 13]),
                                              n, k, m))
    outcome.check(lambda: rsr_gemm(a, b, n, k, m, 4))


# --- binding ----------------------------------------------------------------

VALID = dict(a_bytes=b"\x01\x02", b_bytes=b"\x03\x04", n=1, k=2, m=1,
             block_size=4)
VALID_RESULT = [1 * 3 + 2 * 4]
WRONG_NAMES = ["A_bytes", "N", "K", "Block_size", "blocksize", "block-size",
               "a", "b", "x", "", "n\x00", "a_bytes ", "\u00f1", "self",
               "args", "kwargs", "a_bytes\udcff",
               "\uff4e"]  # fullwidth n: names are compared as stored


def bind(nargs, names):
    """The binding rules: an error message, or None when every slot fills."""
    if nargs > 6:
        return f"rsr_gemm() takes 6 positional arguments but {nargs} were given"
    filled = [i < nargs for i in range(6)]
    for name in names:
        if name not in PARAMS:
            shown = name.encode("utf-8", "surrogatepass").decode(
                "utf-8", "replace")
            return f"rsr_gemm() got an unexpected keyword argument '{shown}'"
        if filled[PARAMS.index(name)]:
            return f"rsr_gemm() got multiple values for argument '{name}'"
        filled[PARAMS.index(name)] = True
    missing = [f"'{p}'" for p, done in zip(PARAMS, filled) if not done]
    if not missing:
        return None
    if len(missing) == 1:
        listed = missing[0]
    elif len(missing) == 2:
        listed = " and ".join(missing)
    else:
        listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
    word = "argument" if len(missing) == 1 else "arguments"
    return (f"rsr_gemm() missing {len(missing)} required positional {word}: "
            f"{listed}")


@given(st.integers(0, 9),
       st.lists(st.sampled_from(PARAMS + tuple(WRONG_NAMES)), unique=True,
                max_size=8),
       st.booleans())
def test_binding_matches_model(nargs, names, convertible):
    # With unconvertible values, binding must still finish (and report its
    # own error) before any value is looked at.
    def value(name):
        return VALID.get(name, 0) if convertible else object()

    positional = [value(PARAMS[i]) if i < 6 else i for i in range(nargs)]
    keywords = {name: value(name) for name in names}
    expected = bind(nargs, names)
    if expected is not None:
        outcome = Outcome(kind=TypeError, message=expected)
    elif convertible:
        outcome = Outcome(value=VALID_RESULT)
    else:
        outcome = Outcome(kind=TypeError, message=(
            "argument 'a_bytes': 'object' object cannot be converted to "
            "'PyBytes'"))
    outcome.check(lambda: rsr_gemm(*positional, **keywords))
