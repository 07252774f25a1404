"""The connection QR code: the string the app reads and its three renderings."""

import errno
import json
import os
import re
import shutil
import stat
import subprocess
import sys

import numpy as np
import pytest
import zxingcpp
from PIL import Image

from conftest import wait_until

pytestmark = pytest.mark.timeout(60)

NOT_SERVING = "TavServer has not started serving, can't generate QR"


def reachable(addresses):
    return [a for a in addresses if a != "127.0.0.1" and not a.startswith("169.254.")]


def listed_addresses(ip_output):
    """The IPv4 addresses in the output of `ip -4 -o addr show`, in its order."""
    return re.findall(r"\binet (\d+\.\d+\.\d+\.\d+)/", ip_output)


def decode(image):
    result = zxingcpp.read_barcode(image, formats=zxingcpp.BarcodeFormat.QRCode)
    assert result is not None and result.valid
    return result


def as_array(rows):
    assert isinstance(rows, list) and all(isinstance(r, bytearray) for r in rows)
    return np.array([np.frombuffer(r, dtype=np.uint8) for r in rows])


# Scripts run in a child Python start with this: a serving server `srv` and `report`, which hands
# the test a JSON value on a line of its own (the server logs from its threads meanwhile).
PROBE_HEAD = """
import json, os, sys
sys.path.insert(0, sys.argv[1])
def report(value):
    sys.stdout.write("RESULT " + json.dumps(value) + "\\n")
"""
PROBE_SERVER = """
from conftest import Host
from tavrel import tav_core
srv = tav_core.TavServer("Test", (1, 0, 0), Host(), 0)
assert srv.start_serving(0)
"""


def run_probe(body, *args, wrapper=(), env=None):
    here = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run([*wrapper, sys.executable, "-c", PROBE_HEAD + body, here, *args],
                         capture_output=True, text=True, timeout=30, env=env)
    assert run.returncode == 0, run.stderr
    results = [line[7:] for line in run.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(results) == 1, run.stdout + run.stderr
    return json.loads(results[0])


@pytest.fixture
def serving(server):
    srv = server()
    assert srv.start_serving(0)
    return srv


@pytest.mark.skipif(shutil.which("ip") is None, reason="needs iproute2's ip")
def test_connection_string_names_the_port_and_this_machines_addresses(serving):
    listing = subprocess.run(["ip", "-4", "-o", "addr", "show"], capture_output=True, text=True,
                             timeout=10, check=True).stdout
    addresses = serving._get_net_addresses()
    assert addresses == reachable(listed_addresses(listing))
    assert all(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", a) for a in addresses)
    text = serving.get_qr_string()
    assert text == "_".join([str(serving.server_port)] + addresses[:10])


# Runs in a network namespace of its own, whose adapters carry addresses that exercise every rule;
# they exist only there and no packet is sent to them.
NAMESPACE_SETUP = """
set -e
ip link set lo up
ip addr add 169.254.3.4/32 dev lo
ip addr add 192.168.0.2/32 dev lo
ip addr add 127.0.1.1/32 dev lo
ip link add tq0 type veth peer name tq1
for i in 0 1; do
    ip addr add 10.9.0.1/32 dev tq$i
    for j in 1 2 3 4; do ip addr add 10.9.$((i + 1)).$j/32 dev tq$i; done
done
"""

NAMESPACE_PROBE = PROBE_SERVER + """
import subprocess
out = subprocess.run(["ip", "-4", "-o", "addr", "show"], capture_output=True, text=True).stdout
report({"port": srv.server_port, "addresses": srv._get_net_addresses(), "qr": srv.get_qr_string(),
        "ip": out})
"""


def test_address_rules_on_many_adapters():
    if shutil.which("ip") is None or shutil.which("unshare") is None:
        pytest.skip("needs iproute2 and unshare")
    probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True, timeout=10)
    if probe.returncode != 0:
        pytest.skip("cannot create a network namespace here")
    setup = NAMESPACE_SETUP + 'exec "$@"\n'
    seen = run_probe(NAMESPACE_PROBE, wrapper=("unshare", "-rn", "sh", "-c", setup, "sh"))
    addresses = seen["addresses"]

    assert addresses == reachable(listed_addresses(seen["ip"]))
    assert "127.0.0.1" not in addresses and "169.254.3.4" not in addresses
    assert sorted(addresses[:2]) == ["127.0.1.1", "192.168.0.2"]  # the loopback adapter's
    assert addresses.count("10.9.0.1") == 2  # reported by both adapters
    assert len(addresses) == 12
    assert seen["qr"] == "_".join([str(seen["port"])] + addresses[:10])


@pytest.mark.parametrize("box_size", [1, 3, 10])
def test_raw_image_is_the_qr_code_of_the_connection_string(serving, box_size):
    pixels = as_array(serving.get_qr_image_raw(box_size))
    side = pixels.shape[0]
    assert pixels.shape == (side, side) and side % box_size == 0
    assert set(np.unique(pixels)) == {0, 255}

    result = decode(pixels)
    assert result.text == serving.get_qr_string()
    assert result.ec_level == "M"
    version = int(result.extra["Version"])
    modules = 17 + 4 * version
    assert side == (modules + 8) * box_size

    # Every module is a uniform box_size square, inside a white quiet zone 4 modules wide.
    grid = pixels.reshape(modules + 8, box_size, modules + 8, box_size)
    assert (grid == grid[:, :1, :, :1]).all()
    border = 4 * box_size
    inner = np.zeros_like(pixels, dtype=bool)
    inner[border:-border, border:-border] = True
    assert (pixels[~inner] == 255).all()


def test_png_file_holds_the_raw_pixels(serving, tmp_path):
    path = tmp_path / "qr.png"
    path.write_bytes(b"an older file that gets replaced")
    serving.write_qr_image_png(path, 4)
    raw = as_array(serving.get_qr_image_raw(4))

    with Image.open(path) as png:
        assert png.format == "PNG" and png.mode == "L" and png.size == raw.shape[::-1]
        assert "transparency" not in png.info
        assert (np.asarray(png) == raw).all()
        assert decode(png).text == serving.get_qr_string()

    serving.write_qr_image_png(os.fsencode(tmp_path / "bytes.png"), 1)
    assert Image.open(tmp_path / "bytes.png").size == as_array(serving.get_qr_image_raw(1)).shape


def test_png_write_failures_raise_the_system_error_and_leave_no_file(serving, tmp_path):
    missing = tmp_path / "no-such-dir" / "qr.png"
    with pytest.raises(FileNotFoundError) as info:
        serving.write_qr_image_png(str(missing), 2)
    assert info.value.errno == errno.ENOENT and info.value.filename == str(missing)
    # Windows refuses to open a directory as a file with EACCES, for Python's own open() too.
    with pytest.raises(IsADirectoryError if os.name == "posix" else PermissionError):
        serving.write_qr_image_png(tmp_path, 2)
    with pytest.raises(TypeError):
        serving.write_qr_image_png(42, 2)
    assert list(tmp_path.iterdir()) == []

    # A device the path names is written to, never removed: a private copy of /dev/full.
    device = tmp_path / "full"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 7))
        open(device, "wb").close()
    except (OSError, AttributeError):  # Windows has no mknod
        return  # no device nodes here
    with pytest.raises(OSError) as info:
        serving.write_qr_image_png(device, 2)
    assert info.value.errno == errno.ENOSPC
    assert stat.S_ISCHR(os.stat(device).st_mode)


FILE_SIZE_PROBE = PROBE_SERVER + """
import errno, resource, signal
path = os.path.join(sys.argv[2], "qr.png")
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))
try:
    srv.write_qr_image_png(path, 8)
    report("written")
except OSError as e:
    report([errno.errorcode[e.errno], os.path.exists(path)])
"""


def test_png_cut_short_by_the_file_system_is_removed(tmp_path):
    assert run_probe(FILE_SIZE_PROBE, str(tmp_path)) == ["EFBIG", False]


def test_qt_pixmap_shows_the_same_pixels_as_the_raw_image(serving, monkeypatch):
    qt_gui = pytest.importorskip("PySide6.QtGui")
    monkeypatch.setenv("QT_QPA_PLATFORM", "offscreen")
    app = qt_gui.QGuiApplication.instance() or qt_gui.QGuiApplication([])  # noqa: F841

    pixmap = serving.get_qr_image_qt(3)
    assert isinstance(pixmap, qt_gui.QPixmap)
    image = pixmap.toImage().convertToFormat(qt_gui.QImage.Format.Format_Grayscale8)
    side, stride = image.width(), image.bytesPerLine()
    assert image.height() == side
    grey = np.frombuffer(bytes(image.constBits()), dtype=np.uint8)[: side * stride]
    assert (grey.reshape(side, stride)[:, :side] == as_array(serving.get_qr_image_raw(3))).all()


QT_PROBE = """
for name in ("PySide2", "PySide", "PySide6"):
    sys.modules[name] = None  # not importable
""" + PROBE_SERVER + """
seen = {"raw": len(srv.get_qr_image_raw(2))}
try:
    srv.get_qr_image_qt(2)
except ImportError as e:
    seen["without Qt"] = e.name
for name in ("PySide2", "PySide", "PySide6"):
    del sys.modules[name]
try:
    srv.get_qr_image_qt(2)
except RuntimeError as e:
    seen["without an application"] = str(e)
report(seen)
"""


def test_qt_is_needed_only_by_the_pixmap_and_never_aborts_the_host():
    pytest.importorskip("PySide6.QtGui")
    seen = run_probe(QT_PROBE, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    assert seen["raw"] > 0
    assert seen["without Qt"] == "PySide6.QtGui"  # the last binding tried
    assert "QGuiApplication" in seen["without an application"]


def test_every_form_refuses_before_serving_and_after_stopping(server, tmp_path):
    srv = server()
    path = tmp_path / "qr.png"

    def refused():
        calls = [srv.get_qr_string, lambda: srv.get_qr_image_raw(2),
                 lambda: srv.get_qr_image_qt(2), lambda: srv.write_qr_image_png(path, 2)]
        for call in calls:
            with pytest.raises(RuntimeError, match=re.escape(NOT_SERVING)):
                call()
        assert not path.exists()

    refused()
    assert srv.start_serving(0)
    assert srv.get_qr_string().startswith(f"{srv.server_port}")
    srv.stop_serving()
    assert wait_until(lambda: not (srv.is_serving or srv.is_stopping))
    assert srv.server_port  # the port is kept, yet nothing listens on it any more
    refused()


def test_box_size_must_be_a_positive_integer_of_sensible_size(serving, tmp_path):
    path = tmp_path / "qr.png"
    for bad in (0, -3, 2.5, "4", None, 10**6, 10**30):
        with pytest.raises(ValueError, match="box_size"):
            serving.get_qr_image_raw(bad)
        with pytest.raises(ValueError, match="box_size"):
            serving.write_qr_image_png(path, bad)
    assert not path.exists()
    assert len(serving.get_qr_image_raw(np.int64(2))) == len(serving.get_qr_image_raw(2))
