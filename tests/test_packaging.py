"""The wheel and the sdist each install into a fresh venv and pass the tests.

Slow (two builds, two venvs), so it runs only with VESK_PACKAGING_TESTS=1,
as .ci/run sets it.
"""

import os
import pathlib
import subprocess
import sys
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    os.environ.get("VESK_PACKAGING_TESTS") != "1",
    reason="set VESK_PACKAGING_TESTS=1 to build and test the packages")


def run(command, cwd, env=None):
    process = subprocess.run([str(part) for part in command], cwd=cwd,
                             env=env, capture_output=True, text=True,
                             timeout=900)
    assert process.returncode == 0, (
        f"{command} failed:\n{process.stdout[-3000:]}\n{process.stderr[-5000:]}")
    return process


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    out = tmp_path_factory.mktemp("sdist")
    run([sys.executable, "-m", "build", "--sdist", "--outdir", out], ROOT)
    (archive,) = out.glob("vesk_backend-*.tar.gz")
    return archive


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "-w", out],
        ROOT)
    (built,) = out.glob("vesk_backend-*.whl")
    return built


@pytest.fixture(scope="module")
def unpacked_sdist(sdist, tmp_path_factory):
    out = tmp_path_factory.mktemp("unpacked")
    with tarfile.open(sdist) as archive:
        archive.extractall(out, filter="data")
    (tree,) = out.iterdir()
    return tree


def test_sdist_holds_the_sources_and_tests(unpacked_sdist):
    for needed in ("CMakeLists.txt", "pyproject.toml", "README.md",
                   "src/kernel/rsr_kernel.cpp", "src/module/rsr_gemm_entry.cpp",
                   "src/module/_vesk_backend.pyi", "tests/conftest.py",
                   "tests/helpers.py", "tests/kernel/CMakeLists.txt"):
        assert (unpacked_sdist / needed).is_file(), needed


@pytest.mark.parametrize("artifact", ["wheel", "sdist"])
def test_package_installs_and_passes_tests(artifact, request, unpacked_sdist,
                                           tmp_path):
    package = request.getfixturevalue(artifact)
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", venv], tmp_path)
    python = venv / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    run([python, "-m", "pip", "install", "--quiet", f"{package}[test]"],
        tmp_path)
    # The tests of the sdist, run from outside any source tree, so only the
    # installed module can be imported.
    env = dict(os.environ, VESK_PACKAGING_TESTS="0",
               VESK_HYPOTHESIS_PROFILE="quick")
    env.pop("PYTHONPATH", None)
    process = run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                   unpacked_sdist / "tests"], tmp_path, env)
    assert " passed" in process.stdout.splitlines()[-1]
    assert " failed" not in process.stdout.splitlines()[-1]
    installed = run([python, "-c", "import _vesk_backend; "
                     "print(_vesk_backend.__file__)"], tmp_path)
    assert str(venv) in installed.stdout
