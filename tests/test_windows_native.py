"""The Windows side, cross-built with mingw-w64: the native test program (the platform layer
between spawned processes, the screen grab, the encoder, and a stream end to end through the
workers' own loops) run under Wine on a virtual X screen (and natively, built from the same
sources), and the extension's packaging as a win_amd64 wheel, proved on the probe module. Nothing
is skipped: the builds install mingw-w64 and Wine when they are missing, and fail when they
cannot."""

import re
import secrets
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "scripts" / "windows"))
import check_imports  # noqa: E402
from native_stream import build, command, run_against_listener, run_stream  # noqa: E402

# A cold build cross-compiles the third-party libraries first: minutes on a busy machine.
pytestmark = pytest.mark.timeout(1800)
RUN_LIMIT = 60


@pytest.fixture(scope="module")
def windows_build():
    return build("--windows")


@pytest.fixture(scope="module")
def linux_build():
    return build()


@pytest.mark.parametrize("target", ["linux", "windows"])
def test_native_program_passes_and_its_child_reaches_a_linux_listener(target, request):
    build_dir = request.getfixturevalue(f"{target}_build")
    message = f"from the {target} child {secrets.token_hex(8)}"
    received = []

    def program(port):
        return command(target, build_dir, RUN_LIMIT), {"TAV_TEST_PORT": str(port),
                                                       "TAV_TEST_MESSAGE": message}

    def read(conn):
        received.append(b"".join(iter(lambda: conn.recv(65536), b"")))

    # Wine's windows, and the screen grab's, go to an X display of the test's own.
    done = run_against_listener(program, RUN_LIMIT, read, screen=target == "windows")
    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    cases = re.search(r"test cases:\s*(\d+) \|\s*(\d+) passed", output)
    assert cases and cases[1] == cases[2], output
    print(f"{target}: {cases[1]} native test cases passed"
          + (" under Wine" if target == "windows" else ""))
    assert received == [message.encode()]


TOP, BOTTOM = (200, 100, 50), (40, 160, 220)


def hex_colour(rgb):
    return "".join(f"{v:02x}" for v in rgb)


def assert_colour(pixels, rgb):
    """Every pixel within a VP9 round trip's error of `rgb`."""
    assert np.abs(pixels.astype(int) - rgb).max() <= 10, (pixels.reshape(-1, 3).mean(0), rgb)


@pytest.mark.parametrize("source", ["block", "screen"])
@pytest.mark.parametrize("target", ["linux", "windows"])
def test_worker_frames_reach_a_linux_listener_as_vp9_of_their_size_and_colour(target, source,
                                                                               request):
    """The core's encoder loop in a spawned worker sends, on the socket it was handed, a packet for
    every frame put into the block: frames written by the parent (top and bottom half in two
    colours), or screenshots of a window the parent painted, taken by the screenshot loop in a
    second worker."""
    build_dir = request.getfixturevalue(f"{target}_build")
    if source == "block":
        frames, width, height, colours = 12, 320, 240, [TOP, BOTTOM]
    else:
        frames, width, height, colours = 8, 160, 120, [TOP]
    run = run_stream(command(target, build_dir, RUN_LIMIT), RUN_LIMIT,
                     screen=target == "windows" or source == "screen", source=source,
                     frames=frames, width=width, height=height,
                     colours=",".join(hex_colour(c) for c in colours))
    assert run.returncode == 0, run.output
    assert run.stray == b""
    pictures = run.frames()
    print(f"{target} {source}: {len(pictures)} frames decoded"
          + (" (Windows workers under Wine)" if target == "windows" else ""))
    assert len(pictures) == len(run.packets)
    # Each fed frame is one wake-up of the encoder; requests for screenshots may collapse.
    assert len(pictures) == frames if source == "block" else 1 <= len(pictures) <= frames
    for picture in pictures:
        assert picture.shape == (height, width, 3)
        if source == "block":
            assert_colour(picture[:height // 2 - 8], TOP)  # rows near the edge share chroma
            assert_colour(picture[height // 2 + 8:], BOTTOM)
        else:
            assert_colour(picture, TOP)


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
