"""Streaming the viewport: the encoder worker turns each frame the server puts in the shared block
into a VP9 video packet message on the app connection, and ends when it is told to, when the app
goes away, and when no frame comes.

The worker runs in-process on a thread (the entry releases the GIL); the test plays the server
(frame writer, events) and the app (reads and decodes the messages with an independent decoder).
"""

import os
import select
import socket
import struct
import threading
import time

import av
import numpy as np
import pytest

from tavrel import tav_core

IDLE_LIFESPAN = 10.0
COLOUR = (200, 30, 90)
# Windows hands a lock's and an event's handles to a given process: this one, where the worker
# runs on a thread.
if os.name == "nt":
    import _winapi
    THIS_PROCESS = _winapi.OpenProcess(_winapi.PROCESS_DUP_HANDLE, False, os.getpid())
else:
    THIS_PROCESS = None
CHANNELS = {"rgb": (0, 1, 2), "bgr": (2, 1, 0), "rgba": (0, 1, 2, 3), "bgra": (2, 1, 0, 3)}


def tcp_pair():
    """A connected TCP pair on the loopback: (the app's end, the server's end)."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        app = socket.create_connection(listener.getsockname())
        server, _ = listener.accept()
    return app, server


def picture(width, height, fmt, top=COLOUR, bottom=None):
    """A packed frame in `fmt`: `top` colour, or `top` over `bottom` halves."""
    rgba = np.empty((height, width, 4), np.uint8)
    rgba[...] = (*top, 255)
    if bottom is not None:
        rgba[height // 2 :] = (*bottom, 255)
    return rgba[..., list(CHANNELS[fmt])].tobytes()


class Worker:
    """An encoder worker with the server's half of the contract around it."""

    def __init__(self, width, height, fmt="rgba", out=None, vflip=False, bitrate=2.0, sndbuf=None):
        self.app, self.server_end = tcp_pair()
        if sndbuf:
            self.app.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, sndbuf)
            self.server_end.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, sndbuf)
        self.socket_lock, self.shm_lock = tav_core._Lock(), tav_core._Lock()
        self.new_frame, self.keep = tav_core._Event(), tav_core._Event()
        self.keep.set()
        self.block = tav_core._Shm(width * height * len(CHANNELS[fmt]), create=True)
        out_w, out_h = out or (width, height)
        self.args = (
            width, height, fmt, out_w, out_h, "yuv420p", 30.0, bitrate, vflip, b"\x04",
            (self.block.name, self.block.size), self.server_end.fileno(),
            self.socket_lock.share(THIS_PROCESS), self.shm_lock.share(THIS_PROCESS),
            self.new_frame.share(THIS_PROCESS), self.keep.share(THIS_PROCESS),
        )  # fmt: skip
        self.decoder = av.CodecContext.create("vp9", "r")
        self.thread = threading.Thread(target=tav_core._ep, args=(self.args,), daemon=True)
        self.started = time.monotonic()
        self.thread.start()

    def put(self, frame):
        with self.shm_lock:
            self.block.buf[:] = frame
        self.new_frame.set()

    def read_message(self, timeout=10.0):
        code, size = struct.unpack("<BI", self.recv_exact(5, timeout))
        return code, self.recv_exact(size, timeout)

    def recv_exact(self, size, timeout):
        self.app.settimeout(timeout)
        data = b""
        while len(data) < size:
            chunk = self.app.recv(size - len(data))
            if not chunk:
                raise EOFError("the connection ended")
            data += chunk
        return data

    def pending(self, timeout=0.3):
        """True when the app has bytes to read within `timeout` seconds."""
        return bool(select.select([self.app], [], [], timeout)[0])

    def decode(self, packet):
        frames = self.decoder.decode(av.Packet(packet))
        assert len(frames) == 1
        return frames[0]

    def encode(self, frame):
        """Puts one frame and returns its decoded picture; exactly one message comes per frame."""
        self.put(frame)
        code, packet = self.read_message()
        assert code == 4
        return self.decode(packet)

    def stop(self):
        self.keep.clear()
        self.new_frame.set()

    def ended_within(self, seconds):
        self.thread.join(seconds)
        return not self.thread.is_alive()

    def close(self):
        self.stop()
        self.thread.join(15)
        self.app.close()
        self.server_end.close()
        self.block.close()
        self.block.unlink()


@pytest.fixture
def worker():
    workers = []

    def start(*args, **kwargs):
        w = Worker(*args, **kwargs)
        workers.append(w)
        return w

    yield start
    for w in workers:
        w.close()


def ffmpeg_notes_aside(stderr):
    """The lines of `stderr` other than FFmpeg's own notes (which the worker silences once it runs)."""
    return [line for line in stderr.splitlines() if not line.startswith("[libvpx-vp9 @")]


def assert_colour(rgb, colour, tolerance=6):
    assert np.abs(rgb.astype(int) - colour).max() <= tolerance, (rgb.mean(axis=(0, 1)), colour)


@pytest.mark.parametrize(
    "capture, output, stream",
    [
        ((1280, 720), (720, 405), (720, 405)),
        ((1280, 1080), (720, 607.5), (720, 607)),
        ((743, 500), (719.9999999999999, 484.52220726783304), (719, 484)),
        ((640, 360), (640, 360), (640, 360)),
        ((719, 485), (719, 485), (719, 485)),
    ],
)
def test_each_frame_becomes_one_video_packet_message_at_the_output_size(
    worker, capture, output, stream
):
    w = worker(*capture, out=output)
    frame = picture(*capture, "rgba")
    for _ in range(3):
        w.put(frame)
        header = w.recv_exact(5, 10)
        assert header[0] == 4
        packet = w.recv_exact(struct.unpack("<I", header[1:])[0], 10)
        assert not w.pending()  # one packet per frame, nothing after it
        decoded = w.decode(packet)
        assert (decoded.width, decoded.height) == stream
        assert_colour(decoded.to_ndarray(format="rgb24"), COLOUR)


@pytest.mark.parametrize("fmt", ["rgb", "bgr", "rgba", "bgra"])
@pytest.mark.parametrize("output", [(320, 180), (160, 90)], ids=["direct", "scaled"])
def test_solid_colour_decodes_to_that_colour_in_every_input_format(worker, fmt, output):
    w = worker(320, 180, fmt, out=output)
    for colour in (COLOUR, (10, 220, 140)):
        decoded = w.encode(picture(320, 180, fmt, top=colour))
        assert_colour(decoded.to_ndarray(format="rgb24"), colour)


@pytest.mark.parametrize("output", [(320, 240), (160, 120)], ids=["flip only", "scale and flip"])
@pytest.mark.parametrize("vflip", [False, True])
def test_vertical_flip_puts_the_first_row_at_the_bottom(worker, output, vflip):
    red, blue = (220, 20, 20), (20, 20, 220)
    w = worker(320, 240, "bgra", out=output, vflip=vflip)
    rgb = w.encode(picture(320, 240, "bgra", top=red, bottom=blue)).to_ndarray(format="rgb24")
    height = rgb.shape[0]
    top, bottom = rgb[: height // 2 - 8], rgb[height // 2 + 8 :]
    assert_colour(top, blue if vflip else red, tolerance=12)
    assert_colour(bottom, red if vflip else blue, tolerance=12)


def test_stop_request_ends_the_worker_without_a_further_packet(worker):
    w = worker(320, 240)
    w.encode(picture(320, 240, "rgba"))
    with w.shm_lock:
        w.block.buf[:] = picture(320, 240, "rgba", top=(0, 0, 0))
    w.stop()  # clear keep, then wake
    assert w.ended_within(2)
    assert not w.pending()


def test_app_closing_the_connection_ends_the_worker_quietly(worker, capfd):
    w = worker(320, 240)
    w.encode(picture(320, 240, "rgba"))
    w.app.close()
    deadline = time.monotonic() + 5
    while w.thread.is_alive() and time.monotonic() < deadline:
        w.put(picture(320, 240, "rgba"))
        w.thread.join(0.05)
    assert not w.thread.is_alive()
    assert ffmpeg_notes_aside(capfd.readouterr().err) == []


def test_app_that_stops_reading_ends_the_worker_after_the_send_time_limit(worker):
    w = worker(720, 720, bitrate=100.0, sndbuf=4096)
    noise = np.random.default_rng(1).integers(0, 256, 720 * 720 * 4, np.uint8).tobytes()
    stalled_from = time.monotonic()
    while w.thread.is_alive() and time.monotonic() - stalled_from < 12:
        w.put(noise)
        w.thread.join(0.1)
    assert not w.thread.is_alive(), "the worker still waits on an app that does not read"
    assert time.monotonic() - stalled_from > 4  # it gave the app its time first
    # The stalled connection is shut down: the app reads what got through, then the end.
    w.app.settimeout(5)
    while w.app.recv(1 << 20):
        pass


def test_worker_ends_by_itself_after_its_idle_lifespan(worker):
    never_fed = worker(320, 240)
    fed_once = worker(320, 240)
    fed_once.encode(picture(320, 240, "rgba"))
    fed_at = time.monotonic()
    assert not never_fed.ended_within(IDLE_LIFESPAN - 1)
    assert never_fed.ended_within(3) and fed_once.ended_within(3)
    assert IDLE_LIFESPAN - 0.5 < time.monotonic() - never_fed.started < IDLE_LIFESPAN + 3
    assert time.monotonic() - fed_at > IDLE_LIFESPAN - 0.5
    assert not never_fed.pending(0) and not fed_once.pending(0)


def test_invalid_argument_tuples_are_refused(worker):
    w = worker(320, 240)
    with pytest.raises(ValueError, match="argument tuple"):
        tav_core._ep()
    with pytest.raises(ValueError, match="exactly 16 values"):
        tav_core._ep(w.args[:15])

    def refused(index, value, message):
        args = list(w.args)
        args[index] = value
        with pytest.raises(ValueError, match=message):
            tav_core._ep(tuple(args))

    formats = r"Invalid encoding input_format\. Supported values: 'rgb', 'bgr', 'rgba', 'bgra'"
    refused(2, "RGBA", formats)
    refused(2, "yuv", formats)
    refused(5, "yuv444p", "output_format")
    refused(3, 0.5, "output size")
    for fps in (0.0, 1e-45, 241.0, 3.4e38, float("nan")):
        refused(6, fps, "framerate: must be 1 to 240")
    for mbps in (-1.0, 1e-4, 100.5, 1e30, float("inf")):
        refused(7, mbps, "bitrate: must be 0.05 to 100 Mbit/s")
    refused(10, (w.block.name, 100), "smaller than a frame")
    refused(12, b"not a lock", "lock share description")


def test_failure_to_attach_is_reported_on_stderr_and_ends_the_worker(worker, capfd):
    w = worker(320, 240)
    args = list(w.args)
    args[10] = ("psm_00000000_absent", w.block.size)
    tav_core._ep(tuple(args))  # returns: the worker's failure is its own
    assert "Encoder worker failed" in capfd.readouterr().err
    assert not w.pending(0)
