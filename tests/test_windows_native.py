"""The Windows side, cross-built with mingw-w64: the native test program (the platform layer
between spawned processes, the screen grab, the encoder) run under Wine on a virtual X screen (and
natively, built from the same sources), and the extension's packaging as a win_amd64 wheel,
proved on the probe module. Nothing is skipped: the builds install mingw-w64 and Wine when they
are missing, and fail when they cannot."""

import os
import re
import secrets
import socket
import subprocess
import sys
import threading
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts" / "windows"))
import check_imports  # noqa: E402
from screen_support import VirtualScreen  # noqa: E402

# A cold build cross-compiles the third-party libraries first: minutes on a busy machine.
pytestmark = pytest.mark.timeout(1800)
RUN_LIMIT = 60


def build(*args):
    done = subprocess.run([str(ROOT / "scripts/build_native_tests.sh"), *args], capture_output=True,
                          text=True, timeout=1700)
    assert done.returncode == 0, done.stdout + done.stderr
    return Path(done.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def windows_build():
    return build("--windows")


@pytest.fixture(scope="module")
def linux_build():
    return build()


def command(target, build_dir):
    if target == "windows":
        return [str(ROOT / "scripts/wine.sh"), "--time-limit", str(RUN_LIMIT),
                str(build_dir / "tav_native_tests.exe")]
    return [str(build_dir / "tav_native_tests")]


@pytest.mark.parametrize("target", ["linux", "windows"])
def test_native_program_passes_and_its_child_reaches_a_linux_listener(target, request):
    build_dir = request.getfixturevalue(f"{target}_build")
    message = f"from the {target} child {secrets.token_hex(8)}"
    received = []
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(RUN_LIMIT)

        def serve():
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(RUN_LIMIT)
                received.append(b"".join(iter(lambda: conn.recv(65536), b"")))

        server = threading.Thread(target=serve, daemon=True)
        server.start()
        env = {"TAV_TEST_PORT": str(listener.getsockname()[1]), "TAV_TEST_MESSAGE": message}
        # Wine's windows, and the screen grab's, go to an X display of the test's own.
        screen = VirtualScreen(640, 480) if target == "windows" else None
        try:
            if screen:
                env["DISPLAY"] = screen.display
            done = subprocess.run(command(target, build_dir), capture_output=True, text=True,
                                  timeout=RUN_LIMIT + 30, env={**os.environ, **env})
        finally:
            if screen:
                screen.close()
        server.join(RUN_LIMIT)
    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    cases = re.search(r"test cases:\s*(\d+) \|\s*(\d+) passed", output)
    assert cases and cases[1] == cases[2], output
    print(f"{target}: {cases[1]} native test cases passed"
          + (" under Wine" if target == "windows" else ""))
    assert received == [message.encode()]


def test_probe_module_imports_only_python_and_windows_dlls(windows_build):
    pyd, = (windows_build / "probe_module").glob("tav_probe*.pyd")
    exe = windows_build / "tav_native_tests.exe"
    dlls = {p: check_imports.imported_dlls(p) for p in (pyd, exe)}
    print({p.name: d for p, d in dlls.items()})
    assert "python311.dll" in dlls[pyd]
    for found in dlls.values():
        assert check_imports.foreign(found) == []
    # The checker catches what a dynamic runtime would bring.
    assert check_imports.foreign(["libstdc++-6.dll", "libwinpthread-1.dll", "KERNEL32.dll",
                                  "api-ms-win-crt-heap-l1-1-0.dll", "python3.dll"]) == [
        "libstdc++-6.dll", "libwinpthread-1.dll"]


# What scripts/build_wheels.sh --windows [--probe] makes: per kind the folder, the module and the
# extra argument; each kind a wheel for Python 3.11 (python311.dll) and a stable-ABI one for 3.12
# and newer (python3.dll).
WHEELS = {"probe": ("build/wheel/windows-probe", "tav_probe", ["--probe"]),
          "core": ("dist", "tav_core", [])}
TAGS = {"cp311-cp311": ("cp311-win_amd64.pyd", "python311.dll"), "cp312-abi3": ("pyd", "python3.dll")}


@pytest.mark.parametrize("kind", WHEELS)
def test_wheels_are_tagged_for_windows_with_stubs_and_import_only_python_and_windows_dlls(
        kind, windows_build, linux_build, tmp_path):
    folder, module, args = WHEELS[kind]
    done = subprocess.run([str(ROOT / "scripts/build_wheels.sh"), "--windows", *args],
                          capture_output=True, text=True, timeout=1700, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr
    print(done.stdout)
    for tag, (suffix, python_dll) in TAGS.items():
        wheel, = (ROOT / folder).glob(f"tavrel-*-{tag}-win_amd64.whl")
        with zipfile.ZipFile(wheel) as z:
            names = z.namelist()
            info = next(n for n in names if n.endswith(".dist-info/WHEEL"))
            wheel_file = z.read(info).decode()
            metadata = z.read(info.replace("WHEEL", "METADATA")).decode()
            pyd = z.extract(f"tavrel/{module}.{suffix}", tmp_path)
        assert f"Tag: {tag}-win_amd64" in wheel_file and "Root-Is-Purelib: false" in wheel_file
        assert "Name: tavrel" in metadata
        assert {f"tavrel/{module}.pyi", "tavrel/py.typed", "tavrel/tav_base.py"} <= set(names)
        assert not [n for n in names if n.lower().endswith(".dll")]
        dlls = check_imports.imported_dlls(pyd)
        print(f"{wheel.name} ({wheel.stat().st_size / 2**20:.1f} MB): {' '.join(dlls)}")
        assert python_dll in dlls and check_imports.foreign(dlls) == []
        if kind == "core":  # the licence texts of what is linked in
            licences = info.replace("WHEEL", "licenses/third-party/")
            assert {licences + f for f in ("VERSIONS", "ffmpeg/COPYING.LGPLv2.1", "zlib/LICENSE",
                                           "mingw-w64-runtime/mingw-w64-common/copyright")
                    } <= set(names)
