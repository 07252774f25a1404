"""A plug-in developer tries a host with the reference app client instead of a phone."""

import socket
import struct
import subprocess
import sys

import pytest

from tavrel.app import AppClient, MissingCamera, NotStreaming, NoAlpha

M = tuple(float(i) for i in range(16))


def test_command_line(served):
    run = subprocess.run(
        [sys.executable, "-m", "tavrel.app", "127.0.0.1", str(served.port), "info", "cameras",
         "select", "1", "matrix", "keys", "scripts", "version", "fps", "select", "7", "script",
         "1", "remove-keys", "time", "12"],
        capture_output=True, text=True, timeout=30)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("server 2.1.2 on Blender: ")
    assert lines[1:4] == ["  0: Camera", "  1: Camera.001", "selected"]
    assert lines[4:8] == ["0.0 1.0 2.0 3.0", "4.0 5.0 6.0 7.0", "8.0 9.0 10.0 11.0",
                          "12.0 13.0 14.0 15.0"]
    assert lines[8:] == ["keys True (first True, second False)", "0: Script A", "1: Script B",
                         "1.2.3", "24.0", "no camera 7 in the list", "done", "removed"]
    served.host.wait_for("set_frame")
    assert served.host.calls_of("execute_script") == [(1, "Camera.001")]


@pytest.mark.parametrize("words", [["info", "bogus"], ["select", "one"], ["range", "1"],
                                   ["script", "1.5"], []],
                         ids=["unknown", "not-a-number", "missing", "not-an-integer", "none"])
def test_command_line_refuses_bad_words_before_connecting(words):
    # Port 9 on loopback: nothing listens there, and nothing may be sent anyway.
    run = subprocess.run([sys.executable, "-m", "tavrel.app", "127.0.0.1", "9", *words],
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 2
    assert run.stderr.startswith("usage: python -m tavrel.app") and "Traceback" not in run.stderr


def test_late_error_codes_go_to_the_command_that_caused_them(served):
    app = served.app()
    # No camera: each set command is answered, later, by ERR_MISSING_CAMERA alone.
    app.set_camera_matrix(M)
    app.set_focal_length(35, time_=3)
    assert app.play_fps() == 24.0
    assert app.errors == [200, 200]
    with pytest.raises(MissingCamera):
        app.camera_matrix()
    assert app.sync() == [200, 200]

    app.scene_cameras()
    assert app.select_camera(0)
    app.set_camera_matrix(M)
    assert app.camera_matrix() == served.host.transform
    # The camera vanishes: a set command and a query fail in turn, each its own error.
    served.host.cameras = []
    app.set_camera_matrix(M)
    with pytest.raises(MissingCamera):
        app.camera_has_keys()
    assert not app.remove_camera_keys()
    assert app.sync() == [200]
    assert app.plugin_version() == (1, 2, 3)
    app.close()


def test_video_packets_and_error_codes_between_replies():
    # The messages a streaming server interleaves with replies, written by hand.
    listener = socket.create_server(("127.0.0.1", 0))
    with listener, AppClient("127.0.0.1", listener.getsockname()[1], timeout=5) as app:
        peer, _ = listener.accept()
        with peer:
            packet = bytes(range(256)) * 3
            peer.sendall(b"\x04" + struct.pack("<I", len(packet)) + packet[:100])
            peer.sendall(packet[100:] + b"\xc9\x05" + struct.pack("<d", 30) + b"\xcc")
            assert app.play_fps() == 30.0  # read past a packet and an error code
            assert app.read_video_packet() == packet
            with pytest.raises(NotStreaming):
                app.read_video_packet()
            with pytest.raises(NoAlpha):
                app.read_video_packet()
            peer.sendall(b"\x04\x00\x00\x00\x00")
            assert app.read_video_packet() == b""
            with pytest.raises(TimeoutError):
                app.read_video_packet(timeout=0.05)
