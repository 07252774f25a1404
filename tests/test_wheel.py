"""The shipped wheel: self-contained, typed, and working where the system has none of the
third-party libraries it was built from.

The wheels come from scripts/build_wheels.sh (run once, or reused when dist/ is newer than the
sources). One of them is installed into a fresh virtual environment of a Python other than this
one where the machine has one, and a host running there serves a stream and a QR code while a
private mount namespace hides the system's FFmpeg, libvpx, libqrencode and libpng from it.
"""

import glob
import importlib.metadata
import importlib.resources
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import socket
import zipfile
from pathlib import Path

import pytest
import zxingcpp
from elftools.elf.elffile import ELFFile
from PIL import Image

from conftest import TavServer, recv_exact
from streaming_support import VideoApp
from wheel_support import built_wheels, unpack, wheel_for

ROOT = Path(__file__).resolve().parent.parent
HIDDEN = ["libavcodec", "libavfilter", "libavformat", "libavutil", "libavdevice", "libswscale",
          "libswresample", "libpostproc", "libvpx", "libqrencode", "libpng"]
# The oldest glibc the wheels are built for.
POLICY = "manylinux_2_28"

# The first test builds the wheels (on a fresh machine the third-party libraries too, minutes).
pytestmark = [pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux wheels"),
              pytest.mark.timeout(1800)]


@pytest.fixture(scope="module")
def wheels():
    return built_wheels()


def python_for(wheels):
    """A Python (other than this one where possible) and the wheel that fits it."""
    here = f"{sys.version_info.major}.{sys.version_info.minor}"
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = []
    for minor in (10, 11, 12, 13):
        v = f"3.{minor}"
        candidates = [shutil.which(f"python{v}")]
        candidates += sorted(glob.glob(f"{pyenv}/versions/{v}.*/bin/python{v}"), reverse=True)
        for c in candidates:
            if c and subprocess.run([c, "-c", "pass"], capture_output=True).returncode == 0:
                found.append((v, c))
                break
    # Another version first, the newest first: 3.13 runs the stable-ABI wheel built on 3.12.
    found.sort(key=lambda vc: (vc[0] == here, -int(vc[0].split(".")[1])))
    for v, exe in found:
        wheel = wheel_for(wheels, int(v.split(".")[1]))
        if wheel is not None:
            return exe, wheel
    pytest.fail(f"no wheel in dist/ fits the Pythons found ({found})")


@pytest.fixture(scope="module")
def installed(wheels, tmp_path_factory):
    """(python, site-packages) of a fresh venv with the fitting wheel unpacked as pip would."""
    python, wheel = python_for(wheels)
    env_dir = tmp_path_factory.mktemp("wheel") / "venv"
    subprocess.run([python, "-m", "venv", "--without-pip", str(env_dir)], check=True)
    py = str(env_dir / "bin/python")
    purelib = subprocess.run(
        [py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
        capture_output=True, text=True, check=True).stdout.strip()
    return py, unpack(wheel, purelib)


def test_each_wheel_is_manylinux_small_and_carries_stubs(wheels):
    for w in wheels:
        assert w.name.endswith(f"-{POLICY}_x86_64.whl"), w.name
        assert w.stat().st_size < 15 * 2**20, f"{w.name}: {w.stat().st_size} bytes"
        shown = " ".join(subprocess.run([str(ROOT / ".venv/bin/auditwheel"), "show", str(w)],
                                        capture_output=True, text=True, check=True).stdout.split())
        # Everything beyond the policy's system libraries is inside the module.
        assert "external shared libraries are required" not in shown, shown
        with zipfile.ZipFile(w) as z:
            names = z.namelist()
            assert f"Tag: {w.name.split('-', 2)[2][:-4]}" in z.read(
                next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()
            stub = z.read("tavrel/tav_core.pyi").decode()
            dist_info = next(n for n in names if n.endswith(".dist-info/METADATA"))[:-9]
            metadata = z.read(dist_info + "/METADATA").decode()
            versions = z.read(dist_info + "/licenses/third-party/VERSIONS").decode()
        assert "tavrel/py.typed" in names, names
        # The licence, and the texts of the libraries linked in with the source of each.
        assert "License-Expression: GPL-3.0-or-later" in metadata
        licenses = [n[len(dist_info) + 10:] for n in names if n.startswith(dist_info + "/licenses/")]
        assert {"LICENSE", "third-party/ffmpeg/COPYING.LGPLv2.1", "third-party/libvpx/LICENSE",
                "third-party/qrencode/COPYING", "third-party/libpng/LICENSE"} <= set(licenses)
        assert all(f"License-File: {n}" in metadata for n in licenses)
        assert [line.split("\t")[0] for line in versions.splitlines()] == [
            "ffmpeg", "libvpx", "qrencode", "libpng", "zlib"]
        # Static third-party libraries: nothing to graft.
        assert not [n for n in names if n.startswith("tavrel.libs/")], names
        # Every public operation and constant is typed, and every operation documented.
        for name in [n for n in dir(TavServer) if not n.startswith("_")]:
            assert re.search(rf"(def {name}\(self|{name}: \w)", stub), name
            if not name.isupper():
                assert getattr(TavServer, name).__doc__, name


def test_each_wheels_module_runs_on_glibc_2_28_and_exports_its_entry_alone(wheels, tmp_path):
    """What the manylinux_2_28 policy allows, read from the module itself: no glibc symbol newer
    than 2.28, no shared library outside the policy's (the C++ runtime is linked in), and no
    symbol of its static libraries or C++ runtime offered to the host."""
    policy = next(p for p in json.loads((importlib.resources.files("auditwheel.policy") /
                                         "manylinux-policy.json").read_text())
                  if p["name"] == POLICY)
    for w in wheels:
        module = next(unpack(w, tmp_path / w.name).rglob("tav_core*.so"))
        with module.open("rb") as f:
            elf = ELFFile(f)
            needed = {t.needed for t in elf.get_section_by_name(".dynamic").iter_tags()
                      if t.entry.d_tag == "DT_NEEDED"}
            glibc = {aux.name[6:] for _, auxes in elf.get_section_by_name(".gnu.version_r")
                     .iter_versions() for aux in auxes if aux.name.startswith("GLIBC_")}
            exported = {s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                        if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"}
        assert glibc and glibc <= set(policy["symbol_versions"]["x86_64"]["GLIBC"]), (
            w.name, sorted(glibc))
        # (The dynamic loader itself serves thread-local storage; every glibc system has it.)
        outside = needed - set(policy["lib_whitelist"]) - {"ld-linux-x86-64.so.2"}
        assert not outside and not needed & {"libstdc++.so.6", "libgcc_s.so.1"}, (w.name, needed)
        assert exported == {"PyInit_tav_core"}, (w.name, sorted(exported)[:20])


def hidden_libraries():
    """The files behind every copy of those libraries the dynamic loader knows of."""
    cache = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True).stdout
    paths = {os.path.realpath(p) for p in re.findall(r"=> (\S+)", cache)
             if os.path.basename(p).startswith(tuple(HIDDEN))}
    return sorted(p for p in paths if os.path.isfile(p))


HIDE_AND_RUN = ('for f in "$@"; do mount --bind /dev/null "$f" && [ ! -s "$f" ] || exit 97; done; '
                'exec "$PY" "$HOST" "$OUT"')


def read_lines_until(stream, last, timeout):
    """Lines of `stream` up to and including `last`, within `timeout` seconds."""
    lines, done = [], threading.Event()

    def reader():
        for line in stream:
            lines.append(line.rstrip("\n"))
            if line.strip() == last:
                break
        done.set()

    threading.Thread(target=reader, daemon=True).start()
    assert done.wait(timeout), f"no '{last}' line within {timeout} s: {lines}"
    return lines


def test_wheel_serves_in_a_fresh_venv_without_the_system_libraries(installed, tmp_path):
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "true"],
            capture_output=True).returncode != 0:
        pytest.skip("no private mount namespace here (needs unshare and CAP_SYS_ADMIN)")
    py, purelib = installed
    hidden = hidden_libraries()
    assert hidden, "the system has none of the libraries to hide: nothing is shown"
    env = dict(os.environ, PY=py, HOST=str(ROOT / "tests/wheel_host.py"), OUT=str(tmp_path))
    env.pop("PYTHONPATH", None)
    proc = subprocess.Popen(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c", HIDE_AND_RUN, "sh", *hidden],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env, cwd=tmp_path)
    try:
        lines = read_lines_until(proc.stdout, "ready", timeout=30)
        first = next(line for line in lines if line.startswith("port ")).split()
        port = int(first[1])
        assert first[2:4] == ["version", importlib.metadata.version("tavrel")], first
        mapped = [line[4:] for line in lines if line.startswith("lib ")]
        assert not set(mapped) & set(hidden), "a hidden library was loaded"
        assert any(m.startswith(purelib) for m in mapped), "the wheel's module was not loaded"

        sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        try:
            sock.sendall(b"\x02")  # the camera list, then the first camera
            assert recv_exact(sock, 1) == b"\x02"
            recv_exact(sock, int.from_bytes(recv_exact(sock, 4), "little"))
            sock.sendall(b"\x34")
            assert recv_exact(sock, 1) == b"\x34"
            sock.sendall((0).to_bytes(2, "little"))
            app = VideoApp(sock)
            app.start(fps=30.0, mbps=1.0)
            frames = app.frames(5, timeout=30)
            assert all(f.shape == (120, 160, 3) for f in frames)
            # The ramp: dark to light across a row (where it has not wrapped round yet).
            row = frames[-1][60, :, 0].astype(int)
            assert row.max() - row.min() > 100, row
            app.stop()
        finally:
            sock.close()

        result = zxingcpp.read_barcode(Image.open(tmp_path / "qr.png"),
                                       formats=zxingcpp.BarcodeFormat.QRCode)
        assert result is not None and result.valid and result.text.split("_")[0] == str(port)
    finally:
        proc.stdin.close()  # the host stops serving and exits
        try:
            status = proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
    assert status == 0


def test_a_host_type_checks_against_the_wheels_types(installed, tmp_path):
    """mypy accepts the typed host and rejects misuses of the server's and TavBase's types."""
    py, _ = installed
    bad = tmp_path / "bad_host.py"
    bad.write_text(
        "from tavrel.tav_base import TavBase\n"
        "from tavrel.tav_core import TavServer\n"
        "class Host(TavBase):\n"
        "    def get_camera_exists(self, server: TavServer, camera_name: str) -> str:\n"
        "        return camera_name\n"
        "s = TavServer('Host', (1, 0, 0), Host(), TavServer.EVENTMODE_PUSH)\n"
        "s.start_serving('any')\n"
        "s.set_capture_resolution(640)\n"
        "port: str = s.server_port\n")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable",
         py, str(ROOT / "tests/wheel_host.py"), str(bad)],
        capture_output=True, text=True, cwd=tmp_path, timeout=500)
    errors = [line for line in run.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "wheel_host.py" in e], run.stdout
    lines = sorted({int(e.split(":")[1]) for e in errors if "bad_host.py" in e})
    assert lines == [4, 7, 8, 9], run.stdout
