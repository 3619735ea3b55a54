"""No C++ exception reaches the interpreter, whatever its type.

The module's own code throws only its internal failures and std::bad_alloc,
so nothing in it can throw anything else on purpose. tests/entry_probe
builds a test-only extension from the same entry machinery whose entry
points throw on request; each kind must come back as a Python exception.
"""

import importlib.util
import pathlib
import re

import pytest

from helpers import build_with_cmake, is_panic

HERE = pathlib.Path(__file__).parent


@pytest.fixture(scope="session")
def probe(tmp_path_factory):
    build = tmp_path_factory.mktemp("entry-probe-build")
    path = build_with_cmake(HERE / "entry_probe", build, "_entry_probe")
    found = importlib.util.spec_from_file_location("_entry_probe", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.parametrize("kind,message,location", [
    # The module's own internal failure names where it arose.
    ("internal failure", "probe failure", r" at \S+entry_probe\.cpp:\d+"),
    # Anything else is a fault of the module: reported, then raised the same
    # way, naming what was thrown as far as it can be named.
    ("length_error", "unexpected C++ exception: probe length", ""),
    ("not UTF-8", "unexpected C++ exception: probe \ufffd", ""),
    ("int", "unexpected C++ exception of unknown type", ""),
])
def test_thrown_exception_becomes_panic_exception(probe, capfd, kind, message,
                                                  location):
    with pytest.raises(BaseException) as info:
        probe.throw_from(kind)
    assert is_panic(info.value, message), repr(info.value)
    assert info.value.args == (message,)
    report = (r"_vesk_backend: internal failure in thread \d+" + location +
              ":\n" + re.escape(message) + "\n")
    assert re.fullmatch(report, capfd.readouterr().err)


def test_exhausted_memory_becomes_memory_error(probe, capfd):
    with pytest.raises(MemoryError):
        probe.throw_from("bad_alloc")
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("path,shown", [
    ("src/module/a.cpp", "src/module/a.cpp"),
    ("/home/me/vesk/src/module/a.cpp", "src/module/a.cpp"),
    # The last src directory counts: the checkout may lie below another.
    ("/home/me/src/vesk/src/module/a.cpp", "src/module/a.cpp"),
    ("/home/me/mysrc/vesk/src/module/a.cpp", "src/module/a.cpp"),
    # MSVC's __FILE__ holds backslashes.
    ("C:\\work\\src\\vesk\\src\\module\\a.cpp", "src/module/a.cpp"),
    ("C:\\work\\vesk\\src\\module\\a.cpp", "src/module/a.cpp"),
    ("/elsewhere/a.cpp", "/elsewhere/a.cpp"),
])
def test_reports_name_the_project_path(probe, path, shown):
    assert probe.project_path(path) == shown
