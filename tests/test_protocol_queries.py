"""The app asks about the host scene: one code, one reply, byte for byte."""

import os
import shutil
import socket
import struct
import subprocess
import sys

import pytest

from conftest import PULL, handler_errors, recv_exact
from tavrel.app import MissingCamera

VERSION_BYTES = b"\x02\x00\x01\x00\x02\x00"


def expected_server_name(host_name, platform):
    return host_name.replace(".", "-").replace("_", "-") + " - " + platform


def select(app, name):
    _, names = app.scene_cameras()
    assert app.select_camera(names.index(name))


def select_raw(sock, index):
    """Lists the scene cameras and selects one, on a raw connection."""
    sock.sendall(b"\x02")
    head = recv_exact(sock, 5)
    recv_exact(sock, struct.unpack_from("<I", head, 1)[0])
    sock.sendall(b"\x34")
    assert recv_exact(sock, 1) == b"\x34"
    sock.sendall(struct.pack("<H", index))


def test_server_info_and_plugin_version_layouts(served):
    sock = served.raw()
    payload = VERSION_BYTES + b"Blender_"
    payload += expected_server_name(socket.gethostname(), "Blender").encode("ascii")
    message = b"\x00" + struct.pack("<I", len(payload)) + payload
    assert served.reply(sock, b"\x00", len(message)) == message
    # The same numbers without a length field.
    assert served.reply(sock, b"\x08", 7) == b"\x08\x01\x00\x02\x00\x03\x00"
    assert served.host.take() == []


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0 or not shutil.which("unshare"),
                    reason="needs root")
def test_server_name_is_the_host_name_without_dots_and_underscores():
    # A private host name, in a UTS namespace of its own.
    script = r"""
import socket, struct
socket.sethostname("studio.my_box.local")
from tavrel.tav_core import TavServer
from tavrel.tav_base import TavBase
server = TavServer("Maya", (1, 2, 3), TavBase(), TavServer.EVENTMODE_PUSH)
assert server.start_serving(0)
app = socket.create_connection(("127.0.0.1", server.server_port), timeout=5)
app.sendall(b"\x00")
data = b""
while len(data) < 5 or len(data) < 5 + struct.unpack_from("<I", data, 1)[0]:
    data += app.recv(4096)
print("REPLY", data.hex())
"""
    try:
        run = subprocess.run(["unshare", "--uts", sys.executable, "-c", script],
                             capture_output=True, text=True, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail("the server in the namespace did not answer")
    if "sethostname" in run.stderr or "Operation not permitted" in run.stderr:
        pytest.skip("no UTS namespaces here")
    assert run.returncode == 0, run.stderr
    reply = bytes.fromhex(run.stdout.split("REPLY ")[1].split()[0])
    payload = VERSION_BYTES + b"Maya_studio-my-box-local - Maya"
    assert reply == b"\x00" + struct.pack("<I", len(payload)) + payload


def test_scene_queries_layouts(served):
    host = served.host
    host.playback_state = (1, 250.5, 12)
    host.focal_length = 35
    host.transform = [float(i) / 3 for i in range(16)]
    host.fps = 29.97
    sock = served.raw()
    select_raw(sock, 1)
    assert served.reply(sock, b"", 0) == b""
    host.take()

    assert served.reply(sock, b"\x01", 33) == b"\x01" + struct.pack("<4d", 1, 250.5, 12, 35)
    assert served.reply(sock, b"\x03", 129) == b"\x03" + struct.pack("<16d", *host.transform)
    assert served.reply(sock, b"\x05", 9) == b"\x05" + struct.pack("<d", 29.97)
    assert [(n, a) for n, a, _ in host.take()] == [
        ("get_camera_exists", ("Camera.001",)), ("get_playback_state", ()),
        ("get_camera_focal_length", ("Camera.001",)),
        ("get_camera_exists", ("Camera.001",)), ("get_camera_transform", ("Camera.001",)),
        ("get_playback_fps", ()),
    ]


def test_keys_flags_byte(served):
    sock = served.raw()
    select_raw(sock, 0)
    for flags, byte in [((True, True), 7), ((True, False), 3), ((False, True), 5),
                        ((False, False), 0), ((1, []), 3), ((None, "yes"), 5)]:
        served.host.has_keys = flags
        assert served.reply(sock, b"\x06", 2) == bytes([6, byte]), flags
    assert served.host.calls_of("get_camera_has_keys")[-1] == ("Camera",)


def test_camera_queries_without_a_camera_answer_the_missing_camera_code(served):
    sock = served.raw()
    for code in (1, 3, 6):
        assert served.reply(sock, bytes([code]), 1) == b"\xc8"
    # No camera selected: the host is not even asked whether it exists.
    assert served.host.take() == []
    # The others answer regardless.
    sock.close()
    app = served.app()
    assert app.play_fps() == 24.0
    assert app.script_info() == ["Script A", "Script B"]
    assert app.plugin_version() == (1, 2, 3)
    with pytest.raises(MissingCamera):
        app.camera_matrix()


def test_scene_cameras_index_and_names(served):
    host = served.host
    host.cameras = ["Cam", "Rig", "Cam.001", "Rig"]
    app = served.app()
    assert app.scene_cameras() == (None, host.cameras)  # nothing selected: 0xFFFF
    assert app.select_camera(3)  # a name listed twice: its first position
    assert app.scene_cameras() == (1, host.cameras)
    host.cameras = ["Other"]
    assert app.scene_cameras() == (None, ["Other"])
    host.cameras = []
    app.close()

    raw = served.raw()
    # An empty list: the index alone. "$" in names is sent as it is.
    assert served.reply(raw, b"\x02", 7) == b"\x02\x02\x00\x00\x00\xff\xff"
    host.cameras = ["A", "B$C", "D"]
    assert served.reply(raw, b"\x02", 14) == b"\x02\x09\x00\x00\x00\xff\xffA$B$C$D"
    host.cameras = (name for name in ["A", "B"])  # not a list: every name still goes out
    assert served.reply(raw, b"\x02", 10) == b"\x02\x05\x00\x00\x00\xff\xffA$B"


def test_scene_camera_index_beyond_16_bits_sends_nothing(served, capfd):
    app = served.app()
    select(app, "Camera")
    served.host.cameras = [f"C{i}" for i in range(65536)] + ["Camera"]
    capfd.readouterr()
    app.send_raw(b"\x02\x08")
    assert app.read_message()[0] == 8  # nothing came before the plug-in version reply
    assert "OverflowError" in handler_errors(served, capfd)
    served.host.cameras = ["Camera"] * 3
    assert app.scene_cameras() == (0, ["Camera"] * 3)


def test_selection_ends_with_the_connection(served):
    app = served.app()
    select(app, "Camera")
    assert served.server.current_camera == "Camera"
    app.close()
    served.host.wait_for("client_disconnected")
    assert [(n, a) for n, a, _ in served.host.take(session=True)[-2:]] == [
        ("current_camera_changed", ("",)), ("client_disconnected", ())]
    assert served.server.current_camera == ""
    with served.app() as again:
        assert again.scene_cameras()[0] is None


def test_script_labels(served):
    host = served.host
    sock = served.raw()

    def labels_reply(text):
        return b"\x07" + struct.pack("<I", len(text)) + text

    for labels, text in [(["A", "", "B"], b"A% %B"), (["50%", None, "x"], b"50%% %x"),
                         (None, b""), ([], b""), (("Only",), b"Only")]:
        host.labels = labels
        assert served.reply(sock, b"\x07", 5 + len(text)) == labels_reply(text), labels

    # The host pushes new labels while the app is connected ...
    host.labels = ["New"]
    served.server.update_script_labels()
    assert recv_exact(sock, 8) == labels_reply(b"New")
    assert served.host.calls[-1] == ("get_script_labels", (), "MainThread")
    sock.close()
    served.host.wait_for("client_disconnected")
    # ... and pushes go nowhere, without error, when no app is connected.
    served.server.update_script_labels()


# (host attribute, wrong result, request, error type): the handler stops and sends nothing.
WRONG_RESULTS = [
    ("playback_state", (1.0, 2.0), 1, "ValueError"),
    ("playback_state", (1.0, 2.0, 3.0, 4.0), 1, "ValueError"),
    ("playback_state", ("a", 2.0, 3.0), 1, "TypeError"),
    ("focal_length", None, 1, "TypeError"),
    ("has_keys", (True,), 6, "ValueError"),
    ("has_keys", (True, False, True), 6, "ValueError"),
    ("transform", tuple(range(15)), 3, "ValueError"),
    ("transform", tuple(range(17)), 3, "ValueError"),
    ("transform", ("x",) * 16, 3, "TypeError"),
    ("fps", "fast", 5, "TypeError"),
    ("cameras", ["Camera", 5], 2, "TypeError"),
    ("cameras", ["Caméra"], 2, "UnicodeEncodeError"),
    ("cameras", None, 2, "TypeError"),
    ("labels", ["A", 3], 7, "TypeError"),
    ("labels", ["Größe"], 7, "UnicodeEncodeError"),
    ("labels", 7, 7, "TypeError"),
]


def test_host_results_of_the_wrong_shape_stop_the_reply(served, capfd):
    sock = served.raw()
    select_raw(sock, 0)
    capfd.readouterr()
    host = served.host
    for attribute, value, code, error in WRONG_RESULTS:
        saved = getattr(host, attribute)
        setattr(host, attribute, value)
        # Nothing comes before the next reply, and the session goes on.
        assert served.reply(sock, bytes([code]), 0) == b"", (attribute, value)
        reported = handler_errors(served, capfd)
        assert error in reported, (attribute, value, reported)
        if served.mode != PULL:
            assert "Exception in thread tavrel-network" in reported
        setattr(host, attribute, saved)
    host.fail["get_playback_fps"] = RuntimeError("host is busy")
    assert served.reply(sock, b"\x05", 0) == b""
    assert "RuntimeError: host is busy" in handler_errors(served, capfd)


# (host attribute or failing operation, wrong result or error, request, what the report says).
NAMED_ERRORS = {
    "wrong count": ("playback_state", (1.0, 2.0), 1, [
        "ValueError: get_playback_state returned (1.0, 2.0); expected (start, end, current frame)"]),
    "wrong type": ("focal_length", "long", 1, [
        "TypeError: get_camera_focal_length returned 'long'; expected a number "
        "(must be real number, not str)"]),
    "not ASCII": ("labels", ["A", "Größe"], 7, [
        "UnicodeEncodeError: 'ascii' codec can't encode characters in position 4-5: "
        "get_script_labels returned ['A', 'Größe']; expected a sequence of labels in ASCII, "
        "or None"]),
    "beyond 16 bits": ("cameras", [f"C{i}" for i in range(65536)] + ["Camera"], 2, [
        "OverflowError: get_scene_cameras returned ['C0', 'C1', 'C2', ",
        "...; expected the current camera among the first 65536"]),
    "raised": ("get_playback_fps", RuntimeError("host is busy"), 5, [
        ", in get_playback_fps\n", "RuntimeError: host is busy\n"] + [
        "raised by the host operation get_playback_fps"] * (sys.version_info >= (3, 11))),
}


@pytest.mark.parametrize("case", NAMED_ERRORS.values(), ids=NAMED_ERRORS.keys())
def test_host_errors_name_the_operation_and_what_was_expected(served, capfd, case):
    name, wrong, code, texts = case
    sock = served.raw()
    select_raw(sock, 0)
    if isinstance(wrong, Exception):
        served.host.fail[name] = wrong
    else:
        setattr(served.host, name, wrong)
    capfd.readouterr()
    assert served.reply(sock, bytes([code]), 0) == b""
    reported = handler_errors(served, capfd)
    assert all(text in reported for text in texts), reported


def test_identification_that_does_not_fit_sends_nothing(make_server, capfd):
    # A platform that is not ASCII, and a plug-in version beyond 16 bits.
    served = make_server(platform="Blendér", plugin_version=(1, 70000, 3))
    sock = served.raw()
    capfd.readouterr()
    sock.sendall(b"\x00\x08\x05")
    assert recv_exact(sock, 9) == b"\x05" + struct.pack("<d", 24.0)
    reported = handler_errors(served, capfd)
    assert "UnicodeEncodeError" in reported and "OverflowError" in reported

