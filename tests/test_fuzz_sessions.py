"""Seeded random app sessions against one server: well-formed, truncated and junk commands, stream
starts with extreme and non-finite rates, frame requests racing the autosend thread, abrupt
disconnects. Afterwards a normal app is served correctly and nothing has grown.

TAVREL_FUZZ_SESSIONS sets the number of sessions per event mode (default 1500); TAVREL_FUZZ_SEED
the seed (default 14).
"""

import os
import random
import socket
import struct
import threading
import time

import av
import pytest

from conftest import PULL, PullLoop, TavServer, repeats, stop_and_wait, wait_until
from streaming_support import FrameHost, left_behind, resources
from tavrel.app import AppClient

SESSIONS = int(os.environ.get("TAVREL_FUZZ_SESSIONS", repeats(1500)))
SEED = int(os.environ.get("TAVREL_FUZZ_SEED", "14"))

RATES = [0.0, -1.0, 1e-45, 1e-30, 1e-4, 0.05, 0.5, 1.0, 2.0, 30.0, 240.0, 1000.0, 2500.0, 1e30,
         3.4e38, float("inf"), float("-inf"), float("nan")]
DOUBLES = [0.0, -0.0, 1.0, -1.0, 1e308, -1e308, 5e-324, float("inf"), float("nan"), 24.0, 1e9]
FIXED = {50: 2, 51: 1, 53: 16, 54: 17, 55: 1, 56: 2, 57: 17, 58: 18}  # doubles of a set command


def start_request(rng):
    fps, mbps = rng.choice(RATES), rng.choice(RATES)
    return bytes([150]) + struct.pack("<ffHBB", fps, mbps, rng.randrange(65536),
                                      rng.randrange(2), rng.random() < 0.7)


def message(rng):
    """One app message: mostly well formed, sometimes with random values or junk."""
    r = rng.random()
    if r < 0.25:
        return bytes([4]) * rng.randint(1, 4)  # frame requests, several in flight
    if r < 0.40:
        return start_request(rng)
    if r < 0.47:
        return bytes([151])
    if r < 0.62:
        return bytes([rng.randrange(9)])
    if r < 0.67:
        return bytes([52]) + struct.pack("<H", rng.choice([0, 1, 2, 3, 65535]))
    if r < 0.80:
        code = rng.choice(list(FIXED))
        return bytes([code]) + struct.pack(f"<{FIXED[code]}d",
                                           *(rng.choice(DOUBLES) for _ in range(FIXED[code])))
    if r < 0.85:
        code, per = rng.choice([(59, 17), (60, 2)])
        n = rng.randrange(4)
        return bytes([code]) + struct.pack("<H", n) + struct.pack(
            f"<{n * per}d", *(rng.choice(DOUBLES) for _ in range(n * per)))
    if r < 0.95:
        code = rng.choice([152, 153, 154, 155, 156, 157])
        return bytes([code]) + (bytes([rng.randrange(3)]) if code in (152, 157) else b"")
    return rng.randbytes(rng.randint(1, 12))  # junk: unknown codes, payload-less bytes


def session(port, rng, accepted):
    """One random app session; `accepted()` returns once the server has accepted it."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        data = b"".join(message(rng) for _ in range(rng.randint(1, 12)))
        if rng.random() < 0.5:  # a camera first, so that stream starts get somewhere
            data = bytes([52]) + struct.pack("<H", rng.randrange(2)) + data
        if rng.random() < 0.1:
            data = data[: rng.randrange(len(data) + 1)]  # the app leaves mid-message
        sock.sendall(data)
        if rng.random() < 0.3:
            time.sleep(rng.choice([0.001, 0.01, 0.05]))  # let a stream run a moment
        if rng.random() < 0.5:
            sock.setblocking(False)
            try:
                while sock.recv(65536):
                    pass
            except (BlockingIOError, ConnectionError):
                pass
        if rng.random() < 0.3:  # an abrupt end: RST instead of FIN
            if os.name == "nt":  # reset before its accept, it never becomes a session there
                accepted()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    finally:
        sock.close()


class CountingHost(FrameHost):
    """Counts the app sessions that ended, so that the next app does not knock on a full backlog
    (a refused SYN is retried after a second)."""

    def __init__(self):
        super().__init__(width=32, height=24)
        self.new_camera = None  # DO_CREATE_NEW_CAMERA makes none: the camera list stays as it is
        self.ended = threading.Semaphore(0)

    def client_disconnected(self, server):
        super().client_disconnected(server)
        self.ended.release()


def normal_app_is_served(port):
    with AppClient("127.0.0.1", port, timeout=10) as app:
        assert app.server_info()[:2] == ((2, 1, 2), "Blender")
        assert app.plugin_version() == (1, 2, 3)
        _, cameras = app.scene_cameras()
        assert cameras[:2] == ["Camera", "Camera.001"] and app.select_camera(1)
        app.start_streaming(fps=30.0, mbps=2.0, opaque=True, autosend=True)
        decoder = av.CodecContext.create("vp9", "r")
        frames = []
        while not frames:
            frames = decoder.decode(av.Packet(app.read_video_packet(timeout=10)))
        assert frames[0].width == 32 and frames[0].height == 24
        app.stop_streaming()


@pytest.mark.timeout(max(600, SESSIONS))
@pytest.mark.parametrize("mode", [TavServer.EVENTMODE_PUSH, PULL], ids=["push", "pull"])
def test_random_sessions(mode):
    host = CountingHost()
    server = TavServer("Blender", (1, 2, 3), host, mode)
    assert server.start_serving(0)
    loop = PullLoop(server) if mode == PULL else None
    try:
        normal_app_is_served(server.server_port)
        assert host.ended.acquire(timeout=10)
        wait_until(lambda: not server.is_capturing, timeout=20)
        before = resources()
        rng = random.Random(SEED * 2 + mode)
        start = time.monotonic()
        for i in range(SESSIONS):
            host.mode = rng.choice([TavServer.CAPMODE_BUFFER, TavServer.CAPMODE_BUFFER_POINTER])
            session(server.server_port, rng, lambda: host.wait_for("client_connected", i + 2))
            assert host.ended.acquire(timeout=10), "the server did not see the app leave"
        took = time.monotonic() - start
        starts = len(host.calls_of("capture_will_start"))
        print(f"{SESSIONS} sessions in {took:.1f} s, {SESSIONS / took:.0f} per second; "
              f"{starts} streams started, {host.frames_given} frames given")
        normal_app_is_served(server.server_port)
        wait_until(lambda: not server.is_connected and not server.is_capturing, timeout=20)
        def grown():  # descriptors, threads, children, frame blocks
            fds, threads, kids, blocks = left_behind(before)
            return (max(fds, 0), max(threads, 0), kids, blocks)

        try:
            wait_until(lambda: grown() == (0, 0, set(), set()), timeout=20)
        except AssertionError:
            assert grown() == (0, 0, set(), set())
        if loop:
            assert loop.longest < 1.0, f"execute_pending_events took {loop.longest:.2f} s"
            assert loop.errors == []
    finally:
        stop_and_wait(server, loop, timeout=20)
        if loop:
            loop.close()
