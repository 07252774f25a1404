"""Whatever an app sends, the server stays up and in step, and serves the next app."""

import os
import random
import re
import socket
import struct
import time

import pytest

from conftest import PULL, handler_errors, recv_exact, repeats, wait_until
from tavrel.app import AppClient

PAYLOADS = {50: 16, 51: 8, 52: 2, 53: 128, 54: 136, 55: 8, 56: 16, 57: 136, 58: 144, 152: 1,
            157: 1}
RECORDS = {59: 136, 60: 16}
REQUESTS = [0, 1, 2, 3, 5, 6, 7, 8, *range(50, 61), 152, 153, 154, 155, 156, 157]
# Codes that start or stop a viewport stream, with real worker processes: left to the
# streaming tests.
STREAMING = {4, 150, 151}


def reported_errors(served, capfd):
    """The names of the errors the server reported for failed handlers."""
    return re.findall(r"^(\w+(?:Error|Exception))\b", handler_errors(served, capfd), re.M)


def disconnects(served):
    return len(served.host.calls_of("client_disconnected"))


def abort(sock):
    """Closes with a reset, as a phone that drops off the network does."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def test_codes_that_are_not_requests_are_ignored(served):
    sock = served.raw()
    noise = bytes([99, 154, 200, 201, 202, 203, 204, 9, 49, 61, 149, 158, 199, 205, 255])
    assert served.reply(sock, noise, 0) == b""
    assert served.host.take() == []


def test_a_disconnect_in_the_middle_of_any_payload(served, capfd):
    cuts = []
    for code, size in PAYLOADS.items():
        cuts += [bytes([code]), bytes([code]) + bytes(size - 1)]
    for code, size in RECORDS.items():
        cuts += [bytes([code]), bytes([code, 2]), bytes([code, 2, 0]) + bytes(2 * size - 1)]
    capfd.readouterr()
    for i, data in enumerate(cuts):
        sock = served.raw()
        sock.sendall(data)
        if i % 2:
            abort(sock)  # with the echo unread: the server sees a reset
        else:
            sock.close()
        wait_until(lambda: disconnects(served) == i + 1)
    # Nothing half-read reached the host, nothing went wrong, and the next app is served.
    assert served.host.take() == []
    assert reported_errors(served, capfd) == []
    with served.app() as app:
        assert app.plugin_version() == (1, 2, 3)


def test_key_counts_zero_and_max(served):
    sock = served.raw()
    # A count of 0: the echo, then nothing is delivered, not even the camera check.
    assert served.reply(sock, b"\x3b\x00\x00\x3c\x00\x00", 2) == b"\x3b\x3c"
    assert served.host.take() == []
    sock.close()

    app = served.app(timeout=20)
    app.scene_cameras()
    assert app.select_camera(0)
    n = 65535
    app.set_camera_flen_keys((float(i), i / 4) for i in range(n))
    matrix_keys = [(tuple(float(i + j) for j in range(16)), float(i)) for i in range(n)]
    app.set_camera_matrix_keys(matrix_keys)
    assert app.sync() == []
    flen = served.host.calls_of("set_camera_flen_keys")[0]
    assert len(flen[1]) == len(flen[2]) == n
    assert (flen[1][-1], flen[2][-1]) == ((n - 1) / 4, float(n - 1))
    _, times, values = served.host.calls_of("set_camera_transform_keys")[0]
    assert len(times) == len(values) == n
    assert tuple(values[-1]) == matrix_keys[-1][0] and times[-1] == n - 1
    app.close()


@pytest.mark.parametrize("request_bytes, answer", [
    (b"\x35", b"\x35"),  # the 128 bytes of a matrix never come
    (b"\x3b\x05\x00" + bytes(100), b"\x3b"),  # five matrix keys announced, not even one sent
])
def test_a_payload_that_never_comes_does_not_hold_the_stop(served, request_bytes, answer):
    sock = served.raw()
    sock.sendall(request_bytes)
    assert recv_exact(sock, len(answer)) == answer
    started = time.monotonic()
    served.server.stop_serving()
    # Well before the stop would give up waiting for the network thread (5 s).
    wait_until(lambda: not served.server.is_serving and not served.server.is_stopping, 3)
    assert time.monotonic() - started < 3
    served.host.wait_for("server_did_stop")
    assert served.host.names()[-3:] == ["current_camera_changed", "client_disconnected",
                                        "server_did_stop"]
    if served.loop:
        wait_until(lambda: not served.server.is_event_loop_running, 3)
    assert served.host.take() == []


@pytest.mark.parametrize("mode", [PULL], ids=["pull"])
def test_a_slow_payload_does_not_hold_up_the_host(served):
    # The host's main thread sends the reply of the query while the network thread waits for
    # the payload of the set command behind it.
    sock = served.raw()
    sock.sendall(b"\x02")
    recv_exact(sock, struct.unpack_from("<I", recv_exact(sock, 5), 1)[0])
    sock.sendall(b"\x34\x00\x00")
    assert served.reply(sock, b"", 1) == b"\x34"
    sock.sendall(b"\x03\x35")
    answer = recv_exact(sock, 130)
    reply = b"\x03" + struct.pack("<16d", *served.host.transform)
    assert answer in (reply + b"\x35", b"\x35" + reply)
    matrix = tuple(float(i) for i in range(16))
    sock.sendall(struct.pack("<16d", *matrix))
    assert served.reply(sock, b"", 0) == b""
    assert served.host.calls_of("set_camera_transform") == [("Camera", matrix)]


def command_boundary(stream):
    """(True, number of ASK_PLUGIN_VERSION requests) when `stream` ends between commands."""
    i, versions = 0, 0
    while i < len(stream):
        code = stream[i]
        i += 1
        versions += code == 8
        if code in PAYLOADS:
            i += PAYLOADS[code]
        elif code in RECORDS:
            if i + 2 > len(stream):
                return False, 0
            i += 2 + struct.unpack_from("<H", stream, i)[0] * RECORDS[code]
    return i == len(stream), versions


def random_stream(rng):
    # Noise shifts the framing, so payload bytes may become codes as well: no byte anywhere is
    # a streaming code.
    def noise(n):
        return bytes(99 if b in STREAMING else b for b in rng.randbytes(n))

    out = bytearray()
    for _ in range(rng.randint(0, 5)):
        if rng.random() < 0.6:  # a request with a payload of random bytes
            code = rng.choice(REQUESTS)
            out.append(code)
            if code in PAYLOADS:
                out += noise(PAYLOADS[code])
            elif code in RECORDS:
                count = rng.choice([0, 1, 2, rng.randrange(65536)])
                while {count & 0xFF, count >> 8} & STREAMING:
                    count = rng.randrange(65536)
                out += struct.pack("<H", count) + noise(min(count, 3) * RECORDS[code])
        else:
            out += noise(rng.randint(1, 12))
    if out and rng.random() < 0.3:
        del out[rng.randrange(len(out)):]  # truncated anywhere
    return bytes(out)


def test_random_streams(served, capfd):
    rng = random.Random(20240607)
    host, sessions, checked = served.host, repeats(2500), 0
    host.cameras = ["Camera", "Camera.001", "Camera.002"]
    capfd.readouterr()
    for i in range(sessions):
        stream = random_stream(rng)
        app = AppClient("127.0.0.1", served.port, timeout=5)
        app.send_raw(stream)
        at_boundary, versions = command_boundary(stream)
        if at_boundary and i % 3 == 0:
            # In step: the replies parse by code and length up to the plug-in version reply.
            app.send_raw(b"\x08")
            seen = 0
            while seen <= versions:
                code, payload = app.read_message()
                if code == 8:
                    assert payload == b"\x01\x00\x02\x00\x03\x00"
                    seen += 1
            checked += 1
        ended = i + 1 + i // 100
        if rng.random() < 0.5:
            if os.name == "nt":  # reset before its accept, it never becomes a session there
                wait_until(lambda: len(host.calls_of("client_connected")) == ended)
            abort(app._sock)
        app.close()
        # The session ended cleanly before the next app comes (it would wait in the backlog).
        wait_until(lambda: disconnects(served) == ended, interval=0.0002)
        if i % 100 == 99:
            with served.app() as fresh:
                assert fresh.plugin_version() == (1, 2, 3)
    wait_until(lambda: disconnects(served) == sessions + sessions // 100)
    assert len(host.calls_of("client_connected")) == disconnects(served)
    assert checked > sessions // 10
    # The only failures are SET_CURRENT_CAMERA indices beyond the camera list.
    assert set(reported_errors(served, capfd)) <= {"IndexError"}
    assert served.server.is_serving
