"""Packs a Windows wheel of the package around a cross-built extension: the package's Python
files, the extension modules and their type stubs, and the metadata scikit-build-core writes for
the project (the same as in the other wheels), tagged for Windows. No DLL goes in.

usage: pack_wheel.py --tag cp311-cp311-win_amd64 --out DIR FILE.pyd [FILE.pyi ...]
Run from the repository root with an interpreter that has scikit-build-core.
"""

import argparse
import base64
import hashlib
import pathlib
import sys
import tempfile
import zipfile

from scikit_build_core.build import prepare_metadata_for_build_wheel

PACKAGE = pathlib.Path("src/tavrel")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tag", required=True, help="python-abi-platform, e.g. cp311-cp311-win_amd64")
    parser.add_argument("--out", required=True, type=pathlib.Path)
    parser.add_argument("modules", nargs="+", type=pathlib.Path)
    args = parser.parse_args()
    if not args.tag.endswith("-win_amd64"):
        sys.exit(f"not a Windows tag: {args.tag}")
    if not any(m.suffix == ".pyd" for m in args.modules):
        sys.exit("no .pyd among the modules")

    files = {}  # name in the wheel -> bytes
    for path in sorted(PACKAGE.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            files[f"{PACKAGE.name}/{path.relative_to(PACKAGE).as_posix()}"] = path.read_bytes()
    for module in args.modules:
        files[f"{PACKAGE.name}/{module.name}"] = module.read_bytes()

    # The extension links its runtimes statically: a DLL beside it would be a packaging fault.
    dlls = [name for name in files if name.lower().endswith(".dll")]
    if dlls:
        sys.exit(f"a DLL would ship in the wheel: {', '.join(dlls)}")

    with tempfile.TemporaryDirectory() as tmp:
        info = prepare_metadata_for_build_wheel(tmp)
        for path in sorted(pathlib.Path(tmp, info).rglob("*")):
            if path.is_file() and path.name not in ("WHEEL", "RECORD"):
                files[f"{info}/{path.relative_to(tmp, info).as_posix()}"] = path.read_bytes()
    files[f"{info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: tavrel pack_wheel.py\nRoot-Is-Purelib: false\nTag: {args.tag}\n"
    ).encode()

    name_version = info.removesuffix(".dist-info")
    args.out.mkdir(parents=True, exist_ok=True)
    wheel = args.out / f"{name_version}-{args.tag}.whl"
    record = [record_line(name, data) for name, data in files.items()] + [f"{info}/RECORD,,"]
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)
        z.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    print(wheel)


if __name__ == "__main__":
    main()
