"""The app drives the host camera and timeline: echo, payload, host calls in order."""

import struct

import pytest

from conftest import PULL, handler_errors, recv_exact, select_camera

M = tuple(float(i) + 0.25 for i in range(16))  # a transform no one would normalise

# code, payload, host calls (name, arguments after the server) with "Camera" selected.
SET_COMMANDS = [
    (50, struct.pack("<2d", 1.5, 250), [("set_playback_range", (1.5, 250.0))]),
    (51, struct.pack("<d", 12.5), [("set_frame", (12.5,))]),
    (53, struct.pack("<16d", *M), [("set_camera_transform", ("Camera", M))]),
    (54, struct.pack("<17d", *M, 7.75),
     [("set_camera_transform", ("Camera", M)), ("set_frame", (7.75,))]),
    (55, struct.pack("<d", 35), [("set_camera_focal_length", ("Camera", 35.0))]),
    (56, struct.pack("<2d", 50, 24),
     [("set_camera_focal_length", ("Camera", 50.0)), ("set_frame", (24.0,))]),
    (57, struct.pack("<17d", *M, 85),
     [("set_camera_transform", ("Camera", M)), ("set_camera_focal_length", ("Camera", 85.0))]),
    (58, struct.pack("<18d", *M, 85, -3.5),
     [("set_camera_transform", ("Camera", M)), ("set_camera_focal_length", ("Camera", 85.0)),
      ("set_frame", (-3.5,))]),
    (59, struct.pack("<H17d17d", 2, *M, 1, *M[::-1], 2.5),
     [("set_camera_transform_keys", ("Camera", [1.0, 2.5], [M, M[::-1]]))]),
    (60, struct.pack("<H2d2d", 2, 35, 1, 50, 24),
     [("set_camera_flen_keys", ("Camera", [1.0, 24.0], [35.0, 50.0]))]),
]


def as_lists(calls):
    """Calls with every sequence argument as a list of plain values, for comparison."""
    def plain(v):
        return [plain(x) for x in v] if isinstance(v, (list, tuple)) else v
    return [(name, plain(args)) for name, args, _ in calls]


def test_set_commands_echo_then_reach_the_host_in_order(served):
    sock = served.raw()
    select_camera(served, sock)
    for code, payload, expected in SET_COMMANDS:
        sock.sendall(bytes([code]))
        # The echo comes while the payload is still unsent.
        assert recv_exact(sock, 1) == bytes([code])
        sock.sendall(payload)
        assert served.reply(sock, b"", 0) == b"", code  # nothing else answered
        calls = served.host.take()
        checked = [("get_camera_exists", ("Camera",))] if code >= 53 else []
        assert as_lists(calls) == as_lists([(n, a, 0) for n, a in checked + expected]), code
        # The transform reaches the host as a tuple of 16 doubles, in wire order.
        for name, args, _ in calls:
            if name == "set_camera_transform":
                assert type(args[1]) is tuple and args[1] == M
    # Every host call ran in host context: the host's timer thread in pull mode, otherwise one
    # server thread that is not the host's.
    threads = {thread for _, _, thread in served.host.calls}
    assert threads == {"host-main"} if served.mode == PULL else len(threads) == 1
    assert "MainThread" not in threads


def test_key_lists_reach_the_host_decoded(served):
    app = served.app()
    app.scene_cameras()
    assert app.select_camera(1)
    keys = [(tuple(float(10 * k + i) for i in range(16)), float(k) / 2) for k in range(3)]
    app.set_camera_matrix_keys(keys)
    app.set_camera_flen_keys([(35, 1), (50, 24)])
    app.set_camera_flen_keys([])  # count 0: the echo and nothing else
    app.set_current_time(3)
    assert app.sync() == []
    made = [c for c in served.host.take() if c[0] not in ("get_scene_cameras", "get_camera_exists")]
    (name, args, _), (name2, args2, _), (name3, args3, _) = made
    assert name == "set_camera_transform_keys" and args[0] == "Camera.001"
    assert list(args[1]) == [0.0, 0.5, 1.0]
    assert [tuple(v) for v in args[2]] == [m for m, _ in keys]
    assert (name2, args2) == ("set_camera_flen_keys", ("Camera.001", [1.0, 24.0], [35.0, 50.0]))
    assert (name3, args3) == ("set_frame", (3.0,))


def test_timeline_needs_no_camera_but_camera_commands_do(served):
    sock = served.raw()
    for code, payload, expected in SET_COMMANDS:
        sock.sendall(bytes([code]))
        assert recv_exact(sock, 1) == bytes([code])
        sock.sendall(payload)
        answer = served.reply(sock, b"", 0 if code in (50, 51) else 1)
        assert answer == (b"" if code in (50, 51) else b"\xc8"), code
        # Key lists are read in full before the check, so the stream stays in step.
    assert [name for name, _, _ in served.host.take()] == ["set_playback_range", "set_frame"]

    # A camera that went away meanwhile is checked with the host.
    select_camera(served, sock, 1)
    served.host.cameras = ["Camera"]
    sock.sendall(b"\x35" + struct.pack("<16d", *M))
    assert recv_exact(sock, 2) == b"\x35\xc8"
    assert served.host.take() == [("get_camera_exists", ("Camera.001",), served.host.calls[-1][2])]


@pytest.mark.parametrize("beyond", [2, 0xFFFF])
def test_selecting_a_camera(served, capfd, beyond):
    host, server = served.host, served.server
    sock = served.raw()

    def select(index):
        sock.sendall(b"\x34")
        assert recv_exact(sock, 1) == b"\x34"
        sock.sendall(struct.pack("<H", index))

    def cameras():
        sock.sendall(b"\x02")
        recv_exact(sock, struct.unpack_from("<I", recv_exact(sock, 5), 1)[0])

    # Before any camera list: the echo, and nothing else at all.
    select(0)
    assert served.reply(sock, b"", 0) == b""
    assert host.take() == []

    cameras()
    select(1)
    assert served.reply(sock, b"", 0) == b""
    assert [(n, a) for n, a, _ in host.take(session=True)] == [
        ("get_scene_cameras", ()), ("get_camera_exists", ("Camera.001",)),
        ("current_camera_changed", ("Camera.001",))]  # no capture: no look_through_camera
    assert server.current_camera == "Camera.001"
    select(1)  # the same one again is announced again
    assert served.reply(sock, b"", 0) == b""
    assert [n for n, _, _ in host.take(session=True)] == ["get_camera_exists",
                                                         "current_camera_changed"]

    # A camera the host reports missing: ERR_MISSING_CAMERA, the selection stays.
    host.cameras = ["Camera"]
    select(1)
    assert served.reply(sock, b"", 1) == b"\xc8"
    assert server.current_camera == "Camera.001"

    # An index beyond the list is the app's mistake, not the host's: ERR_MISSING_CAMERA, the
    # selection stays, and the host hears nothing.
    host.take()
    capfd.readouterr()
    select(beyond)
    assert served.reply(sock, b"", 1) == b"\xc8"
    assert handler_errors(served, capfd) == ""
    assert server.current_camera == "Camera.001"
    assert host.take() == []

    # A list entry that is not a camera name: refused at the assignment.
    host.cameras = [5]
    assert served.reply(sock, b"\x02", 0) == b""  # no reply (not text), but the list is kept
    handler_errors(served, capfd)
    select(0)
    assert served.reply(sock, b"", 0) == b""
    assert "TypeError" in handler_errors(served, capfd)
    assert server.current_camera == "Camera.001"
    assert "current_camera_changed" not in [n for n, _, _ in host.take(session=True)]

    # An empty list: nothing happens.
    host.cameras = []
    cameras()
    select(0)
    assert served.reply(sock, b"", 0) == b""
    assert [n for n, _, _ in host.take(session=True)] == ["get_scene_cameras"]


@pytest.mark.parametrize("failing, made", [
    ("set_camera_transform", []),
    ("set_camera_focal_length", ["set_camera_transform"]),
    ("set_frame", ["set_camera_transform", "set_camera_focal_length"]),
])
def test_a_failing_host_call_stops_the_command(served, capfd, failing, made):
    sock = served.raw()
    select_camera(served, sock)
    served.host.fail[failing] = RuntimeError("host refused")
    capfd.readouterr()
    sock.sendall(b"\x3a")
    recv_exact(sock, 1)
    sock.sendall(struct.pack("<18d", *M, 85, 10))
    assert served.reply(sock, b"", 0) == b""
    assert [n for n, _, _ in served.host.take()] == ["get_camera_exists"] + made + [failing]
    assert "RuntimeError: host refused" in handler_errors(served, capfd)
    # The session goes on.
    del served.host.fail[failing]
    sock.sendall(b"\x33")
    recv_exact(sock, 1)
    sock.sendall(struct.pack("<d", 1))
    assert served.reply(sock, b"", 0) == b""
    assert [n for n, _, _ in served.host.take()] == ["set_frame"]
