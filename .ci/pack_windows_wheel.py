"""Packs a cross-built _vesk_backend .pyd as the Windows x86-64 wheel.

    python pack_windows_wheel.py PYD OUTDIR

The metadata comes from the project's own build backend (scikit-build-core
must be importable), so it is the same as the Linux wheel's; the tag says
win_amd64, and RECORD lists every file with its hash and size.
"""

import base64
import hashlib
import os
import pathlib
import sys
import tempfile
import zipfile

from scikit_build_core.build import prepare_metadata_for_build_wheel

ROOT = pathlib.Path(__file__).resolve().parent.parent
TAG = "cp311-cp311-win_amd64"
MODULE = "_vesk_backend.cp311-win_amd64.pyd"


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest())
    return f"{name},sha256={digest.rstrip(b'=').decode()},{len(data)}"


def wheel_file(metadata_dir):
    """The WHEEL file of `metadata_dir`, its tag turned to Windows'."""
    lines = (metadata_dir / "WHEEL").read_text().splitlines()
    kept = [line for line in lines if line and not line.startswith("Tag:")]
    return "\n".join(kept + [f"Tag: {TAG}"]) + "\n"


def pack(pyd, outdir):
    os.chdir(ROOT)  # where the build backend reads pyproject.toml
    with tempfile.TemporaryDirectory() as scratch:
        name = prepare_metadata_for_build_wheel(scratch)
        metadata_dir = pathlib.Path(scratch, name)
        files = {
            MODULE: pyd.read_bytes(),
            "_vesk_backend.pyi":
                (ROOT / "src/module/_vesk_backend.pyi").read_bytes(),
            f"{name}/METADATA": (metadata_dir / "METADATA").read_bytes(),
            f"{name}/WHEEL": wheel_file(metadata_dir).encode(),
        }
    record = f"{name}/RECORD"
    lines = [record_line(path, data) for path, data in files.items()]
    files[record] = ("\n".join(lines + [f"{record},,"]) + "\n").encode()
    distribution = name.removesuffix(".dist-info")
    wheel = outdir / f"{distribution}-{TAG}.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as archive:
        for path, data in files.items():
            archive.writestr(path, data)
    return wheel


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    print(pack(*(pathlib.Path(arg).resolve() for arg in sys.argv[1:])))
