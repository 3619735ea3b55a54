"""The module object, its one function, and the one-interpreter rule."""

import ast
import ctypes
import importlib
import inspect
import pathlib
import sys

import _vesk_backend
from helpers import run_python


def test_module_attributes_in_creation_order():
    names = list(vars(_vesk_backend))
    assert names[:7] == [
        "__name__", "__doc__", "__package__", "__loader__", "__spec__",
        "__all__", "rsr_gemm",
    ]
    assert _vesk_backend.__name__ == "_vesk_backend"
    assert _vesk_backend.__doc__ == ""
    assert _vesk_backend.__all__ == ["rsr_gemm"]
    assert type(_vesk_backend.__all__) is list


def test_function_is_a_builtin_with_text_signature():
    f = _vesk_backend.rsr_gemm
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == f.__qualname__ == "rsr_gemm"
    assert f.__doc__ is None
    assert f.__text_signature__ == "(a_bytes, b_bytes, n, k, m, block_size)"
    assert f.__self__ is _vesk_backend
    assert f.__module__ == _vesk_backend.__name__
    params = inspect.signature(f).parameters.values()
    assert [p.name for p in params] == [
        "a_bytes", "b_bytes", "n", "k", "m", "block_size"]
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_init_function_returns_the_cached_module():
    init = ctypes.PyDLL(_vesk_backend.__file__).PyInit__vesk_backend
    init.restype = ctypes.py_object
    function = _vesk_backend.rsr_gemm
    assert init() is _vesk_backend
    assert _vesk_backend.rsr_gemm is function
    assert _vesk_backend.__all__ == ["rsr_gemm"]


def test_reimport_yields_the_same_module():
    saved = sys.modules.pop("_vesk_backend")
    try:
        again = importlib.import_module("_vesk_backend")
        assert again is saved
    finally:
        sys.modules["_vesk_backend"] = saved


SUBINTERPRETER_MESSAGE = (
    "PyO3 modules do not yet support subinterpreters, see ")


def test_second_interpreter_cannot_import():
    run = run_python("""
        import _xxsubinterpreters as interpreters
        import _vesk_backend
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _vesk_backend")
        except interpreters.RunFailedError as e:
            print(e)
        else:
            print("imported")
        print(_vesk_backend.rsr_gemm(b"\\x01", b"\\x05", 1, 1, 1, 4))
    """)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    assert "ImportError" in first and SUBINTERPRETER_MESSAGE in first
    assert second == "[5]"


def test_first_interpreter_to_import_owns_the_module():
    run = run_python("""
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, "import _vesk_backend")
        try:
            import _vesk_backend
        except ImportError as e:
            print(e)
    """)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(SUBINTERPRETER_MESSAGE)


def test_type_stub_is_installed_beside_the_module():
    stub = pathlib.Path(_vesk_backend.__file__).with_name("_vesk_backend.pyi")
    tree = ast.parse(stub.read_text())
    (function,) = [n for n in tree.body if isinstance(n, ast.FunctionDef)]
    assert function.name == "rsr_gemm"
    assert [a.arg for a in function.args.args] == [
        "a_bytes", "b_bytes", "n", "k", "m", "block_size"]
    assert ast.unparse(function.returns) == "list[int]"
