"""The shipped wheels, as scripts/build_wheels.sh writes them into dist/: built once per run, or
reused when dist/ is newer than the sources (on a fresh machine the first build takes minutes)."""

import subprocess
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
SOURCES = ["src", "CMakeLists.txt", "cmake", "pyproject.toml", "LICENSE", "scripts/build_wheels.sh",
           "scripts/wheel_licenses.py", "scripts/build_third_party.sh", "scripts/zig_toolchain.sh"]
BUILD_TIMEOUT = 1700


def newest_source():
    times = []
    for name in SOURCES:
        path = ROOT / name
        files = path.rglob("*") if path.is_dir() else [path]
        times += [f.stat().st_mtime for f in files if f.is_file() and f.suffix != ".pyc"]
    return max(times)


def linux_wheels():
    return sorted(w for w in DIST.glob("tavrel-*.whl") if not w.name.endswith("-win_amd64.whl"))


def built_wheels():
    """The Linux wheels in dist/, built first where missing or older than the sources."""
    built = linux_wheels()
    if not built or min(w.stat().st_mtime for w in built) < newest_source():
        subprocess.run([str(ROOT / "scripts/build_wheels.sh")], check=True, timeout=BUILD_TIMEOUT)
        built = linux_wheels()
    assert built and list(DIST.glob("tavrel-*.tar.gz")), "no wheel or sdist in dist/"
    return built


def wheel_for(wheels, minor):
    """The wheel for Python 3.`minor`: its own, or the stable-ABI one from 3.12 on."""
    tag = f"cp3{minor}"
    for w in wheels:
        if f"-{tag}-{tag}-" in w.name or (minor >= 12 and "-abi3-" in w.name):
            return w
    return None


def unpack(wheel, folder):
    """Unpacks `wheel` into `folder` as pip would install it; returns the folder."""
    with zipfile.ZipFile(wheel) as z:
        z.extractall(folder)
    for f in Path(folder).rglob("*.so"):
        f.chmod(0o755)
    return folder
