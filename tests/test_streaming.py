"""Streaming the host viewport to the app: session control, the frame path and clean-up."""

import os
import sys
import time

import numpy as np
import pytest

from conftest import PullLoop, TavServer, connect, recv_exact, stop_and_wait, wait_until
from streaming_support import (KILL, FrameHost, Session, VideoApp, children, left_behind, resources,
                               running_children, shm_entries, wait_until_gone)

PUSH, PULL = TavServer.EVENTMODE_PUSH, TavServer.EVENTMODE_PULL
F = TavServer


@pytest.fixture
def session_factory(mode):
    made = []

    def make(host=None):
        s = Session(mode, host or FrameHost())
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


def colour_of(frame):
    return frame[frame.shape[0] // 2, frame.shape[1] // 2].astype(int)


@pytest.mark.parametrize("fmt", [F.CAPFORMAT_UBYTE_RGB, F.CAPFORMAT_UBYTE_BGR,
                                 F.CAPFORMAT_UBYTE_RGBA, F.CAPFORMAT_UBYTE_BGRA],
                         ids=["rgb", "bgr", "rgba", "bgra"])
def test_solid_colour_in_every_format(session_factory, fmt):
    s = session_factory(FrameHost(fmt=fmt, colour=(200, 40, 90, 255)))
    s.app.start()
    frames = s.app.frames(3)
    assert frames[-1].shape == (48, 64, 3)
    assert np.abs(colour_of(frames[-1]) - [200, 40, 90]).max() <= 12
    assert s.server.is_capturing and s.server._pixel_format == ["rgb", "bgr", "rgba", "bgra"][fmt]


@pytest.mark.parametrize("size, expected", [((1280, 720), (405, 720)), ((1280, 1080), (607, 720))])
def test_output_size_is_clamped(session_factory, size, expected):
    s = session_factory(FrameHost(*size))
    s.app.start()
    assert s.app.frames(1)[0].shape[:2] == expected


def test_vertical_flip(session_factory):
    host = FrameHost(width=64, height=64, fmt=F.CAPFORMAT_UBYTE_RGB, vflip=True)
    red, blue = bytes([255, 0, 0]), bytes([0, 0, 255])
    host.frame = lambda n: red * (64 * 32) + blue * (64 * 32)  # top red, bottom blue
    s = session_factory(host)
    s.app.start()
    f = s.app.frames(2)[-1]
    assert f[8, 32, 2] > 200 and f[8, 32, 0] < 60  # the top is blue now
    assert f[56, 32, 0] > 200 and f[56, 32, 2] < 60


def test_frames_on_request_and_pointer_mode(session_factory):
    s = session_factory(FrameHost(mode=F.CAPMODE_BUFFER_POINTER, colour=(0, 255, 0, 255)))
    s.app.start(autosend=False)
    frames = []
    for _ in range(3):  # one request, one frame (requests made meanwhile would collapse)
        s.sock.sendall(b"\x04")
        frames += s.app.frames(1)
    assert np.abs(colour_of(frames[-1]) - [0, 255, 0]).max() <= 12


def test_size_change_from_inside_the_getter(session_factory):
    host = FrameHost(width=64, height=48)
    seen = []  # frames the app decoded: the size changes once one came (a spawned encoder
    # takes a while to start, and frames asked for meanwhile collapse into the newest)

    def grow(server, n):
        if seen and host.width == 64:
            host.width, host.height = 96, 80
            server.set_capture_resolution(96, 80)

    host.on_frame = grow
    s = session_factory(host)
    s.app.start()
    deadline = time.monotonic() + 20
    sizes = seen
    while (80, 96) not in sizes:
        assert time.monotonic() < deadline
        sizes += [f.shape[:2] for f in s.app.frames(1)]
    assert sizes[0] == (48, 64)


def test_error_replies_at_start(session_factory):
    s = session_factory(FrameHost(fmt=F.CAPFORMAT_UBYTE_RGB))
    s.sock.sendall(b"\x04")  # no session yet
    assert recv_exact(s.sock, 1) == b"\xc9"
    s.app.start(opaque=False)  # alpha asked for, but RGB has none: the stream starts regardless
    s.app.read_until(lambda: 204 in s.app.codes and s.app.packets)
    s.app.stop()
    s.host.wait_for("capture_did_end")
    s.sock.sendall(b"\x04")
    s.app.read_until(lambda: 201 in s.app.codes)


def test_no_alpha_error_only_without_alpha(session_factory):
    s = session_factory(FrameHost(fmt=F.CAPFORMAT_UBYTE_RGBA))
    s.app.start(opaque=False)
    s.app.frames(2)
    assert 204 not in s.app.codes


def test_start_without_camera_or_configuration(session_factory, capfd):
    host = FrameHost()
    s = session_factory(host)
    s.server  # camera selected; now forget the configuration
    host.capture_will_start = lambda server: host._record("capture_will_start")
    s.app.start()
    host.wait_for("capture_will_start")
    s.sock.sendall(b"\x08")  # the network thread was released
    assert recv_exact(s.sock, 7)[:1] == b"\x08"
    assert not s.server.is_capturing and children() == set()
    if s.server.event_mode == PUSH:
        assert "set_capture_mode() must be called" in capfd.readouterr().err
    else:
        wait_until(lambda: s.loop.errors)
        assert "set_capture_mode() must be called" in str(s.loop.errors[0])


def test_missing_camera_at_start(mode):
    host = FrameHost()
    server = TavServer("Blender", (1, 2, 3), host, mode)
    server.start_serving(0)
    loop = PullLoop(server) if mode == PULL else None
    sock = connect(server)
    app = VideoApp(sock)
    app.start()
    app.read_until(lambda: 200 in app.codes)
    assert not server.is_capturing and "capture_will_start" not in host.names()
    sock.close()
    stop_and_wait(server, loop)
    if loop:
        loop.close()


def test_stop_order_and_clean_up(session_factory, log):
    before = resources()
    s = session_factory()
    s.app.start()
    s.app.frames(2)
    assert len(children()) == 1 and len(shm_entries() - before[3]) == 1
    s.app.stop()
    s.host.wait_for("capture_did_end")
    log.wait_for("Viewport Capture Stopped")
    assert not s.server.is_capturing and s.server.capture_mode is None
    assert s.server.capture_width is None and not s.server.use_vflip
    wait_until_gone(before[3])


def test_disconnect_while_streaming_cleans_up(session_factory):
    blocks = shm_entries()
    s = session_factory()
    s.app.start()
    s.app.frames(1)
    s.sock.close()
    s.host.wait_for("client_disconnected")
    names = s.host.names()
    assert names.index("capture_did_end") < names.index("client_disconnected")
    wait_until_gone(blocks)


def test_server_stop_while_streaming(session_factory):
    blocks = shm_entries()
    s = session_factory()
    s.app.start()
    s.app.frames(1)
    stop_and_wait(s.server, s.loop, timeout=20)
    assert "capture_did_end" in s.host.names()
    wait_until_gone(blocks)


def test_killed_worker_is_replaced_on_the_next_frame(session_factory):
    s = session_factory()
    s.app.start()
    s.app.frames(2)
    (worker,) = children()
    os.kill(worker, KILL)
    count = len(s.app.packets)
    s.app.read_until(lambda: len(s.app.packets) > count + 3)
    wait_until(lambda: worker not in children() and len(children()) == 1)


@pytest.mark.parametrize("resizing", [False, True], ids=["steady", "resizing"])
def test_twenty_start_stop_cycles_leave_nothing_behind(session_factory, resizing):
    s = session_factory()
    s.app.start()
    s.app.frames(1)
    s.app.stop()
    s.host.wait_for("capture_did_end")
    wait_until(lambda: not children(), timeout=20)
    before = resources()
    if resizing:  # every frame restarts the encoder from the getter, racing the app's stop
        def resize(server, n):
            s.host.width = 64 if s.host.width != 64 else 80
            server.set_capture_resolution(s.host.width, s.host.height)
        s.host.on_frame = resize
    for i in range(20):
        s.app.start(autosend=bool(i % 2))
        s.sock.sendall(b"\x04")
        if not resizing:
            count = len(s.app.packets)
            s.app.read_until(lambda: len(s.app.packets) > count)
        s.app.stop()
        s.host.wait_for("capture_did_end", count=i + 2)
        wait_until(lambda: not s.server._is_encoding, timeout=10)
    def nothing_left():  # a descriptor of the last session closed late may go meanwhile
        fds, threads, kids, blocks = left_behind(before)
        return fds <= 0 and threads <= 0 and not kids and not blocks

    try:
        wait_until(nothing_left, timeout=20)
    except AssertionError:
        raise AssertionError(f"left behind (descriptors, threads, children, blocks): "
                             f"{left_behind(before)}") from None


@pytest.mark.parametrize("fps, mbps, effective", [
    (0.0, 2.0, "30.00 fps, 2.00 Mbits/s"),
    (float("nan"), float("inf"), "30.00 fps, 2.00 Mbits/s"),
    (float("inf"), -5.0, "30.00 fps, 2.00 Mbits/s"),
    (-5.0, float("nan"), "30.00 fps, 2.00 Mbits/s"),
    (1e-45, 1e-45, "1.00 fps, 0.05 Mbits/s"),
    (1e-30, 1e-4, "1.00 fps, 0.05 Mbits/s"),
    (1e30, 2500.0, "240.00 fps, 100.00 Mbits/s"),
    (3.4e38, 1e30, "240.00 fps, 100.00 Mbits/s"),
])
def test_unusable_rates_fall_back_and_absurd_ones_are_clamped(session_factory, fps, mbps,
                                                              effective, log):
    s = session_factory()
    s.app.start(fps=fps, mbps=mbps)
    s.app.frames(2)
    log.wait_for(f"Starting Viewport Capture. {effective}")
    assert s.server.is_capturing and 202 not in s.app.codes
    with pytest.raises(ValueError, match="autosend fps"):
        s.server._start_autosend(fps)  # as requested: its wait would overflow a clock


def test_an_encoder_that_cannot_start_is_reported_once_per_start(session_factory):
    # Wider than any encoder input: the worker's arguments are refused.
    host = FrameHost(width=16385, height=40, fmt=F.CAPFORMAT_UBYTE_BGR)
    s = session_factory(host)
    for start in (1, 2):
        s.app.start(autosend=start == 2)
        s.app.read_until(lambda: s.app.codes.count(202) == start)
        assert s.server.is_capturing and not s.server._is_encoding
        assert not shm_entries() and not children()  # the frame block went at once
        s.sock.sendall(b"\x04" * 3)
        time.sleep(1.2)  # a failed worker would be restarted after a second: nothing is retried
        s.sock.sendall(b"\x04")
        s.app.stop()
        s.app.read_until(lambda: s.app.codes.count(151) == start)
        assert s.app.codes.count(202) == start and not children() and not shm_entries()


def test_short_buffer_is_skipped(session_factory):
    host = FrameHost()
    full = host.frame
    host.frame = lambda n: full(n)[: 100] if n % 2 else full(n)
    s = session_factory(host)
    s.app.start()
    s.app.frames(3)
    assert host.frames_given >= 6


def test_app_that_stops_reading_does_not_wedge_the_server(mode):
    import socket

    blocks = shm_entries()
    host = FrameHost(width=720, height=720)
    host.frame = lambda n: os.urandom(720 * 720 * 4)  # incompressible: big packets
    server = TavServer("Blender", (1, 2, 3), host, mode)
    server.start_serving(0)
    loop = PullLoop(server) if mode == PULL else None
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect(("127.0.0.1", server.server_port))
    s = type("S", (), {})()
    s.host, s.sock, s.server, s.loop = host, sock, server, loop
    Session.select_camera(s)
    app = VideoApp(sock)
    app.start(mbps=50.0)
    time.sleep(0.5)  # the app does not read from here on
    host.wait_for("get_capture_buffer")
    # Nothing the app would not see is rendered: frames wait until it has received the last.
    time.sleep(1.5)
    rendered = len(host.calls_of("get_capture_buffer"))
    time.sleep(1.0)
    assert len(host.calls_of("get_capture_buffer")) == rendered
    start = time.monotonic()
    stop_and_wait(server, loop, timeout=30)
    assert time.monotonic() - start < 20
    wait_until_gone(blocks)
    sock.close()
    if loop:
        loop.close()


def test_frame_requests_in_flight_together():
    # In pull mode the autosend thread's request waits for the host's main thread, which meanwhile
    # answers the app's own requests: neither may take the other's answer and leave it waiting.
    # A tiny switch interval hands the GIL over at every release, which widens the window in
    # which one request's wake-up can reach the other.
    interval = sys.getswitchinterval()
    s = Session(PULL, FrameHost())
    try:
        sys.setswitchinterval(1e-6)
        s.app.start(fps=240.0)
        for _ in range(1000):
            s.sock.sendall(b"\x04")
            time.sleep(0.001)
            assert time.monotonic() - s.loop.returned < 2, "the host's main thread is stuck"
        mark = time.monotonic()
        wait_until(lambda: s.loop.returned > mark, timeout=2)  # still draining
        s.app.frames(2)
    finally:
        sys.setswitchinterval(interval)
        s.close()


@pytest.mark.slow
def test_video_resumes_after_a_long_pause(session_factory):
    s = session_factory()
    s.app.start(autosend=False)
    s.sock.sendall(b"\x04")
    s.app.frames(1)
    wait_until(lambda: not running_children(), timeout=15)  # the worker's idle lifespan ran out
    s.sock.sendall(b"\x04")
    s.sock.sendall(b"\x04")
    s.app.decoder = __import__("av").CodecContext.create("vp9", "r")
    assert len(s.app.frames(1)) == 1
