"""Binding of call arguments and their conversion to native values."""

import sys

import pytest

from _vesk_backend import rsr_gemm
from helpers import (IntQualname, RaisingQualname, Unprintable, index_of,
                     raising_index)

A = bytes([1, 2, 3, 0, 3, 1])
B = bytes([1, 0xFF, 2, 0, 0xFD, 4])
GOOD = dict(a_bytes=A, b_bytes=B, n=2, k=3, m=2, block_size=4)
RESULT = [-4, 11, 3, 4]


def type_error(*args, **kwargs):
    with pytest.raises(TypeError) as info:
        rsr_gemm(*args, **kwargs)
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "rsr_gemm() missing 6 required positional arguments: 'a_bytes', "
             "'b_bytes', 'n', 'k', 'm', and 'block_size'"),
    ((A, B, 2, 3, 2), {},
     "rsr_gemm() missing 1 required positional argument: 'block_size'"),
    ((A, B, 2), {"block_size": 4},
     "rsr_gemm() missing 2 required positional arguments: 'k' and 'm'"),
    ((A, B, 2, 3, 2, 4, 5), {"x": 1},
     "rsr_gemm() takes 6 positional arguments but 7 were given"),
    ((A, B, 2, 3, 2, 4, 5, 6, 7), {},
     "rsr_gemm() takes 6 positional arguments but 9 were given"),
    ((A, B, 2, 3, 2, 4), {"n": 2},
     "rsr_gemm() got multiple values for argument 'n'"),
    ((A,), {"b_bytes": B, "a_bytes": A},
     "rsr_gemm() got multiple values for argument 'a_bytes'"),
    ((A, B, 2, 3, 2, 4), {"N": 2},
     "rsr_gemm() got an unexpected keyword argument 'N'"),
    ((A, B, 2, 3, 2), {"blocksize": 4, "block_size": 4},
     "rsr_gemm() got an unexpected keyword argument 'blocksize'"),
    # Keywords are taken in the caller's order: the first problem wins.
    ((A, B, 2, 3, 2), {"block_size": 4, "n": 1, "zzz": 0},
     "rsr_gemm() got multiple values for argument 'n'"),
    # Binding completes before anything is converted.
    ((1.5, "x", None), {}, "rsr_gemm() missing 3 required positional "
                           "arguments: 'k', 'm', and 'block_size'"),
])
def test_binding_messages(args, kwargs, message):
    assert type_error(*args, **kwargs) == message


def test_keyword_without_utf8_form_is_unknown():
    message = type_error(*GOOD.values(), **{"n\ud800": 1})
    assert message == ("rsr_gemm() got an unexpected keyword argument "
                       "'n\ufffd\ufffd\ufffd'")


@pytest.mark.parametrize("order", [
    ["a_bytes", "b_bytes", "n", "k", "m", "block_size"],
    ["block_size", "m", "k", "n", "b_bytes", "a_bytes"],
    ["k", "a_bytes", "block_size", "n", "b_bytes", "m"],
])
def test_keywords_bind_like_positions(order):
    assert rsr_gemm(**{name: GOOD[name] for name in order}) == RESULT
    rest = {n: GOOD[n] for n in order if n not in ("a_bytes", "b_bytes")}
    assert rsr_gemm(A, B, **rest) == RESULT


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("name,value", [
    ("a_bytes", BytesSubclass(A)), ("b_bytes", BytesSubclass(B)),
    ("n", index_of(2)), ("block_size", True), ("block_size", -1),
    ("block_size", index_of(2**31 - 1)), ("block_size", -2**31),
])
def test_accepted_conversions(name, value):
    assert rsr_gemm(**{**GOOD, name: value}) == RESULT


def test_bool_converts_to_int():
    assert rsr_gemm(A, B, True, 3, 2, False) == RESULT[:2]


def test_nested_class_is_named_by_qualified_path():
    class Holder:
        class Inner(bytearray):
            pass
    message = type_error(**{**GOOD, "a_bytes": Holder.Inner()})
    assert message == (
        "argument 'a_bytes': 'test_nested_class_is_named_by_qualified_path."
        "<locals>.Holder.Inner' object cannot be converted to 'PyBytes'")


@pytest.mark.parametrize("name,value,message", [
    ("a_bytes", bytearray(A), "'bytearray' object cannot be converted to "
                              "'PyBytes'"),
    ("a_bytes", memoryview(A), "'memoryview' object cannot be converted to "
                               "'PyBytes'"),
    ("b_bytes", "text", "'str' object cannot be converted to 'PyBytes'"),
    ("b_bytes", RaisingQualname("X", (), {})(),
     "'<failed to extract type name>' object cannot be converted to "
     "'PyBytes'"),
    ("a_bytes", IntQualname("X", (), {})(),
     "'<failed to extract type name>' object cannot be converted to "
     "'PyBytes'"),
    ("n", 2.0, "'float' object cannot be interpreted as an integer"),
    ("k", "3", "'str' object cannot be interpreted as an integer"),
    ("block_size", None,
     "'NoneType' object cannot be interpreted as an integer"),
    ("m", index_of(2.0), "__index__ returned non-int (type float)"),
])
def test_conversion_type_errors_name_the_parameter(name, value, message):
    with pytest.raises(TypeError) as info:
        rsr_gemm(**{**GOOD, name: value})
    error = info.value
    assert type(error) is TypeError
    assert error.args == (f"argument '{name}': {message}",)
    assert error.__cause__ is None and error.__suppress_context__
    assert error.__context__ is None


def test_only_the_first_failing_conversion_is_reported():
    message = type_error(bytearray(A), B, 2.5, 3, 2, 4)
    assert message.startswith("argument 'a_bytes': ")


def test_conversion_error_keeps_its_cause():
    cause = KeyError("root")
    error = TypeError("custom")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        rsr_gemm(**{**GOOD, "k": raising_index(error)})
    assert info.value is not error
    assert info.value.args == ("argument 'k': custom",)
    assert info.value.__cause__ is cause


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("error", [
    ValueError("bad"), TypeErrorSubclass("sub"), ZeroDivisionError("zero"),
    OverflowError("own"),
])
def test_other_exceptions_pass_unchanged(error):
    with pytest.raises(type(error)) as info:
        rsr_gemm(**{**GOOD, "n": raising_index(error)})
    assert info.value is error


# Refused alike where C long has 32 bits (Windows) and where it has 64.
@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**32 - 1, 2**32,
                                   2**32 + 1, -2**32, 2**64, -2**100,
                                   index_of(2**40), index_of(-2**32)])
def test_out_of_range_integers_overflow(value):
    with pytest.raises(OverflowError) as info:
        rsr_gemm(**{**GOOD, "m": value})
    assert type(info.value) is OverflowError
    assert info.value.args == ("Python int too large to convert to C long",)


def test_unprintable_error_value_is_named_by_type(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    original = TypeError(Unprintable())
    with pytest.raises(TypeError) as info:
        rsr_gemm(**{**GOOD, "n": raising_index(original)})
    assert info.value.args == ("argument 'n': <unprintable TypeError object>",)
    (report,) = unraisable
    assert report.object is original
    assert type(report.exc_value) is RuntimeError
