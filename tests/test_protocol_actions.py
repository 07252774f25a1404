"""The app asks the host to act: playback, keys, a new camera, custom scripts."""

import struct

import pytest

from conftest import handler_errors, recv_exact, select_camera


def made(host):
    return [(name, args) for name, args, _ in host.take()]


def test_playback(served):
    sock = served.raw()
    for flag_byte, flag in [(2, True), (0, False), (255, True)]:
        sock.sendall(b"\x98")
        assert recv_exact(sock, 1) == b"\x98"  # the echo before the flag byte
        sock.sendall(bytes([flag_byte]))
        assert served.reply(sock, b"", 0) == b""
        assert made(served.host) == [("start_playback", (flag,))]
        assert type(served.host.calls[-1][1][0]) is bool
    assert served.reply(sock, b"\x99", 1) == b"\x99"
    # Switching playback is not a command: no echo, no host call.
    assert served.reply(sock, b"\x9a", 0) == b""
    assert made(served.host) == [("stop_playback", ())]


def test_remove_camera_keys(served):
    sock = served.raw()
    assert served.reply(sock, b"\x9b", 2) == b"\x9b\xc8"  # no camera: echo, then 200
    assert made(served.host) == []
    select_camera(served, sock, 1)
    assert served.reply(sock, b"\x9b", 1) == b"\x9b"
    assert made(served.host) == [("get_camera_exists", ("Camera.001",)),
                                 ("remove_camera_keys", ("Camera.001",))]


def test_create_new_camera_copies_the_current_one(served):
    host = served.host
    host.transform = object()  # handed back to the host untouched, whatever it is
    host.focal_length = 42.5
    sock = served.raw()
    select_camera(served, sock, 1)
    assert served.reply(sock, b"\x9c", 1) == b"\x9c"  # the echo, nothing else
    calls = made(host)
    assert calls == [
        ("get_camera_transform", ("Camera.001",)), ("get_camera_focal_length", ("Camera.001",)),
        ("create_new_camera", ()), ("set_camera_transform", ("Camera.002", host.transform)),
        ("set_camera_focal_length", ("Camera.002", 42.5))]  # no capture: no look_through
    assert calls[3][1][1] is host.transform
    assert served.server.current_camera == "Camera.002"
    # No camera-changed event; the camera list shows the new one as current.
    assert "current_camera_changed" not in host.names()[-5:]
    sock.sendall(b"\x02")
    head = recv_exact(sock, 7)
    assert struct.unpack_from("<H", head, 5)[0] == 2
    recv_exact(sock, struct.unpack_from("<I", head, 1)[0] - 2)


def test_create_new_camera_without_a_selection_or_a_name(served, capfd):
    host = served.host
    host.new_camera = None
    sock = served.raw()
    assert served.reply(sock, b"\x9c", 1) == b"\x9c"
    # No check first: the host gets the empty name, and then None for the unnamed camera.
    assert [(n, a[:1]) for n, a in made(host)] == [
        ("get_camera_transform", ("",)), ("get_camera_focal_length", ("",)),
        ("create_new_camera", ()), ("set_camera_transform", (None,)),
        ("set_camera_focal_length", (None,))]
    assert served.server.current_camera is None
    assert served.reply(sock, b"\x03", 1) == b"\xc8"  # no camera to ask about
    assert made(host) == []

    # A name that is not text stops the command at the assignment.
    host.new_camera = 5
    capfd.readouterr()
    assert served.reply(sock, b"\x9c", 1) == b"\x9c"
    assert [n for n, _ in made(host)] == ["get_camera_transform", "get_camera_focal_length",
                                          "create_new_camera"]
    assert "TypeError" in handler_errors(served, capfd)
    assert served.server.current_camera is None


def test_create_new_camera_failing_early_creates_nothing(served, capfd):
    sock = served.raw()
    select_camera(served, sock)
    served.host.fail["get_camera_focal_length"] = RuntimeError("no lens")
    capfd.readouterr()
    assert served.reply(sock, b"\x9c", 1) == b"\x9c"
    assert [n for n, _ in made(served.host)] == ["get_camera_transform",
                                                 "get_camera_focal_length"]
    assert "RuntimeError: no lens" in handler_errors(served, capfd)
    assert served.server.current_camera == "Camera"


@pytest.mark.parametrize("result, success", [
    (True, True), (1, True), (1.0, True), (False, False), (None, False), (0, False),
    ("yes", False), ([True], False)])
def test_execute_script_replies(served, result, success):
    served.host.script_result = result
    sock = served.raw()
    # The index follows the code at once: no echo comes in between.
    reply = served.reply(sock, b"\x9d\x03", 2)
    assert reply == (b"\x9d\x03" if success else b"\xcb\x03")
    assert made(served.host) == [("execute_script", (3, ""))]


def test_execute_script_gets_the_current_camera_and_any_index(served, capfd):
    sock = served.raw()
    select_camera(served, sock, 1)
    assert served.reply(sock, b"\x9d\xff", 2) == b"\x9d\xff"
    assert made(served.host) == [("execute_script", (255, "Camera.001"))]
    served.host.fail["execute_script"] = RuntimeError("script crashed")
    capfd.readouterr()
    assert served.reply(sock, b"\x9d\x00", 0) == b""  # neither reply
    assert "RuntimeError: script crashed" in handler_errors(served, capfd)


def test_reference_client_actions(served):
    with served.app() as app:
        assert not app.remove_camera_keys()
        app.scene_cameras()
        assert app.select_camera(0)
        assert app.remove_camera_keys()
        app.start_playback(True)
        app.stop_playback()
        app.switch_playback()
        assert app.execute_script(4)
        served.host.script_result = False
        assert not app.execute_script(5)
        app.create_new_camera()
        assert app.camera_matrix() == served.host.transform
        assert app.scene_cameras() == (2, ["Camera", "Camera.001", "Camera.002"])
        assert app.sync() == []
    assert [n for n, _ in made(served.host)] == [
        "get_scene_cameras", "get_camera_exists", "get_camera_exists", "remove_camera_keys",
        "start_playback", "stop_playback", "execute_script", "execute_script",
        "get_camera_transform", "get_camera_focal_length", "create_new_camera",
        "set_camera_transform", "set_camera_focal_length", "get_camera_exists",
        "get_camera_transform", "get_scene_cameras"]
