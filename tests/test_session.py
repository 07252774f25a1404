"""An app connecting, talking and going away, as the host and the app see it."""

import socket
import time

from conftest import TavServer, connect, recv_exact, stop_and_wait, wait_until

PUSH = TavServer.EVENTMODE_PUSH


def test_connect_and_close_event_order(log, serving, host):
    app = connect(serving)
    host.wait_for("client_connected")
    port = app.getsockname()[1]
    assert serving.is_connected and serving.client_ip == "127.0.0.1"
    assert serving.client_port == port
    app.close()
    host.wait_for("client_disconnected")
    assert host.names() == ["client_connected", "current_camera_changed", "client_disconnected"]
    assert host.calls_of("client_connected") == [("127.0.0.1", port)]
    assert host.calls_of("current_camera_changed") == [("",)]
    wait_until(lambda: not serving.is_connected)
    assert (serving.client_ip, serving.client_port) == ("127.0.0.1", port)
    wait_until(lambda: "Listening on TCP port" in log.text.partition("Disconnected from")[2])
    text = log.text
    assert f"Accepted connection from: 127.0.0.1:{port}" in text
    assert f"Disconnected from: 127.0.0.1:{port}" in text


def test_second_app_waits_for_the_first(serving, host):
    first = connect(serving)
    host.wait_for("client_connected")
    second = connect(serving)
    second.sendall(b"\x05")
    second.settimeout(0.3)
    try:
        assert second.recv(1) == b"", "second app must not be served yet"
    except socket.timeout:
        pass
    first.close()
    second.settimeout(5)
    assert recv_exact(second, 9)[:1] == b"\x05"
    second.close()


def test_payload_split_over_many_segments(serving, host):
    app = connect(serving)
    app.sendall(b"\x02")  # scene cameras, so that a camera can be selected
    recv_exact(app, 5)
    app.recv(4096)
    app.sendall(b"\x34")
    assert recv_exact(app, 1) == b"\x34"
    app.sendall(b"\x00\x00")
    host.wait_for("current_camera_changed")
    app.sendall(b"\x35")
    assert recv_exact(app, 1) == b"\x35"
    payload = bytes(128)
    for i in range(0, len(payload), 5):
        app.sendall(payload[i:i + 5])
        time.sleep(0.002)
    host.wait_for("set_camera_transform")
    assert host.calls_of("set_camera_transform") == [("Camera", (0.0,) * 16)]
    app.close()


def test_sends_without_an_app_are_dropped(host):
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s._tcp_send(b"\x05", b"data")  # not serving: nothing, no error
    s.start_serving(0)
    s._tcp_send(b"\x05")
    assert s._tcp_recv(4) is None
    stop_and_wait(s)


def test_send_with_len_and_recv_through_python(host):
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s.start_serving(0)
    app = connect(s)
    host.wait_for("client_connected")
    s._tcp_send_with_len(b"\x07", b"")
    assert recv_exact(app, 5) == b"\x07\x00\x00\x00\x00"
    s._tcp_send_with_len(b"\x07", b"abc")
    assert recv_exact(app, 8) == b"\x07\x03\x00\x00\x00abc"
    app.close()
    stop_and_wait(s)


def test_app_that_stops_reading_is_dropped_and_the_sender_never_waits(host):
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s.start_serving(0)
    app = socket.socket()
    app.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    app.connect(("127.0.0.1", s.server_port))
    host.wait_for("client_connected")
    start = time.monotonic()
    s._tcp_send(b"\x04", bytes(16 << 20))
    assert time.monotonic() - start < 1.0  # handed to the connection, not waited for
    host.wait_for("client_disconnected", timeout=15)
    assert time.monotonic() - start > 4.0  # five seconds without progress end it
    stop_and_wait(s)
    app.close()


def test_stop_ends_a_payload_that_never_comes(serving, host):
    app = connect(serving)
    app.sendall(b"\x35")  # camera matrix: the 128 payload bytes never come
    assert recv_exact(app, 1) == b"\x35"
    app.sendall(bytes(10))
    start = time.monotonic()
    stop_and_wait(serving, timeout=10)
    assert time.monotonic() - start < 4
    host.wait_for("server_did_stop")
    app.close()


def test_host_error_in_push_mode_leaves_the_session_serving(host, capfd):
    host.fail["client_connected"] = RuntimeError("connect hook failed")
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s.start_serving(0)
    app = connect(s)
    app.sendall(b"\x05")
    assert recv_exact(app, 9)[:1] == b"\x05"
    assert "connect hook failed" in capfd.readouterr().err
    app.close()
    stop_and_wait(s)


def test_a_new_app_is_served_after_a_reset(serving, host):
    app = connect(serving)
    host.wait_for("client_connected")
    app.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    app.close()  # RST
    host.wait_for("client_disconnected")
    again = connect(serving)
    again.sendall(b"\x08")
    assert recv_exact(again, 7) == b"\x08\x01\x00\x02\x00\x03\x00"
    again.close()
