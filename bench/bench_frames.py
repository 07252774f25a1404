"""The frame path through the real server, against FFmpeg's command-line encoder in the same run.

A TavServer in push mode serves a host whose get_capture_buffer returns precomputed 1280x720
RGBA frames (a few different ones, cycling, so the encoder sees motion). An app in a process of
its own (the reference client) starts a stream at 2 Mbit/s with autosend at 1000 fps, more than
the machine can encode, and reads the 720x405 VP9 packets for about 5 s. FFmpeg encodes the same
raw frames with the same settings (bench_encoder's command), fed as fast as it takes them.

Figures:
- sustained frames per second at the app, against FFmpeg's frames per second;
- per-frame latency from the host getter's return to the last byte of that frame's packet at the
  app (p50, p99), against FFmpeg's time per frame, the encoder's own cost;
- CPU time of this process per wall second over 3 s with an app connected and idle, against the
  same measurement with no server at all (before the server starts).

Matching packets to frames. The getter draws its call's number into the frame it returns (the
squares of tests/frame_number.py) and records time.perf_counter() as it returns; the app records
it as the last byte of each packet arrives (perf_counter is CLOCK_MONOTONIC on Linux, one clock
for every process), decodes the packets afterwards and reads each picture's number back. Frames
the encoder worker skipped (frame signals do not queue) simply have no packet.

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python bench/bench_frames.py
"""

import contextlib
import io
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import numpy as np  # noqa: E402

import bench_encoder  # noqa: E402
from common import Row, percentile, print_table  # noqa: E402
from frame_number import draw_number, read_number  # noqa: E402

ASKED_FPS = 1000.0
SECONDS = 5.0
WARMUP = 1.0  # the encoder's start and its climb to the asked rate are left out
DISTINCT_FRAMES = 8
ROUNDS = 2
IDLE_SECONDS = 3.0
THROUGHPUT_TARGET = 0.9
LATENCY_MARGIN_MS = 2.0
IDLE_MARGIN = 0.001  # CPU seconds per wall second: a tenth of a percent of one core
BLOCK = 40  # pixels of a frame number's square in the host's frames


def _quiet():
    return contextlib.redirect_stdout(io.StringIO())  # the server's log lines


def _serve(frames):
    from tavrel.tav_base import TavBase
    from tavrel.tav_core import TavServer

    class Host(TavBase):
        def __init__(self):
            self.returned = []  # perf_counter() of each getter return

        def get_scene_cameras(self, server):
            return ["Camera"]

        def get_camera_exists(self, server, name):
            return name == "Camera"

        def capture_will_start(self, server):
            server.set_capture_mode(TavServer.CAPMODE_BUFFER, TavServer.CAPFORMAT_UBYTE_RGBA)
            server.set_capture_resolution(bench_encoder.WIDTH, bench_encoder.HEIGHT)

        def get_capture_buffer(self, server, name):
            frame = frames[len(self.returned) % len(frames)]
            draw_number(frame, len(self.returned) % (1 << 16), BLOCK)
            self.returned.append(time.perf_counter())
            return frame

    host = Host()
    server = TavServer("Bench", (1, 0, 0), host, TavServer.EVENTMODE_PUSH)
    assert server.start_serving(0)
    return server, host


def _stop(server):
    server.stop_serving()
    deadline = time.monotonic() + 10
    while (server.is_serving or server.is_stopping) and time.monotonic() < deadline:
        time.sleep(0.01)


def _app(port, seconds):
    """The app's side (in the child process): the arrival time and the number of each picture,
    and the decoded size."""
    from tavrel.app import AppClient

    packets = []
    with AppClient("127.0.0.1", port, timeout=10) as app:
        app.scene_cameras()
        assert app.select_camera(0)
        app.start_streaming(fps=ASKED_FPS, mbps=bench_encoder.BITRATE, autosend=True)
        end = time.perf_counter() + seconds
        while time.perf_counter() < end:
            packet = app.read_video_packet()
            packets.append((time.perf_counter(), packet))
        app.stop_streaming()
        app.sync()
    import av

    decoder = av.CodecContext.create("vp9", "r")
    scale = bench_encoder.OUTPUT[0] / bench_encoder.WIDTH
    pictures, size = [], None
    for arrival, packet in packets:
        for f in decoder.decode(av.Packet(packet)):
            size = [f.width, f.height]
            pictures.append((arrival, read_number(f.to_ndarray(format="gray"), BLOCK * scale)))
    return {"pictures": pictures, "size": size}


def latencies(returns, pictures):
    """(arrival, seconds from the getter's return) of each picture, paired by the number it
    carries, and how many pictures carried none that can be right: none readable, or one whose
    getter had not returned yet or that does not come after the last."""
    out, last, unreadable = [], -1, 0
    for arrival, n in pictures:
        if n is None or n <= last or n >= len(returns) or returns[n] > arrival:
            unreadable += 1
            continue
        out.append((arrival, arrival - returns[n]))
        last = n
    return out, unreadable


def run_stream(frames):
    """One streaming run: (frames per second at the app, latencies, getter calls per second,
    pictures left out for want of a readable number)."""
    server, host = _serve(frames)
    try:
        child = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--app", str(server.server_port),
             str(WARMUP + SECONDS)],
            capture_output=True, text=True, timeout=120, check=True)
    finally:
        _stop(server)
    result = json.loads(child.stdout)
    if tuple(result["size"]) != bench_encoder.OUTPUT:
        raise RuntimeError(f"the stream is {result['size']}, not {bench_encoder.OUTPUT}")
    pictures, returns = result["pictures"], host.returned
    start = pictures[0][0] + WARMUP
    window, unreadable = latencies(returns, [p for p in pictures if p[0] >= start])
    # At a few kilobits a picture the encoder may leave some squares of the last number standing;
    # such pictures are left out, but many of them mean the stream itself is wrong.
    if unreadable > len(window) // 10:
        raise RuntimeError(f"{unreadable} pictures of {len(window)} carry no frame number")
    span = window[-1][0] - start
    getter_calls = sum(1 for r in returns if start <= r <= window[-1][0])
    return len(window) / span, [t for _, t in window], getter_calls / span, unreadable


def cpu_per_second(seconds):
    """This process's CPU seconds per wall second while its main thread sleeps. process_time()
    is the process's CPU clock to the microsecond; os.times() counts in 10 ms ticks, too coarse
    to tell a little from nothing over 3 s."""
    cpu, started = time.process_time(), time.monotonic()
    time.sleep(seconds)
    return (time.process_time() - cpu) / (time.monotonic() - started)


def idle_cpu():
    """(CPU s/s with a connected idle app, CPU s/s with no server)."""
    from tavrel.app import AppClient

    without = cpu_per_second(IDLE_SECONDS)
    server, _ = _serve([])
    try:
        with AppClient("127.0.0.1", server.server_port) as app:
            app.scene_cameras()  # connected and served, then idle
            with_server = cpu_per_second(IDLE_SECONDS)
    finally:
        _stop(server)
    return with_server, without


def run():
    with _quiet():  # log lines also come from the server's threads, at any time
        return _run()


def _run():
    # Writable arrays, so that each getter call can draw its number into the one it returns.
    shape = (bench_encoder.HEIGHT, bench_encoder.WIDTH, 4)
    frames = [np.frombuffer(f, np.uint8).reshape(shape).copy()
              for f in bench_encoder.pattern(DISTINCT_FRAMES)]
    count = 300
    streams, ffmpeg = [], []
    for _ in range(ROUNDS):  # alternating, best of each: the machine is shared
        streams.append(run_stream(frames))
        ffmpeg.append(count / bench_encoder.run_ffmpeg(frames, count)[0])
    fps, lat, getter_rate, unreadable = max(streams, key=lambda s: s[0])
    ffmpeg_fps = max(ffmpeg)
    ffmpeg_ms = 1000 / ffmpeg_fps
    p50, p99 = percentile(lat, 0.5) * 1000, percentile(lat, 0.99) * 1000
    idle, no_server = idle_cpu()
    return [
        Row("frame path frames/s at the app (ffmpeg)", fps, ffmpeg_fps, "  ",
            f">= {THROUGHPUT_TARGET}x"),
        Row("frame path latency p50 (ffmpeg ms/frame)", p50, ffmpeg_ms, "ms",
            f"<= baseline + {LATENCY_MARGIN_MS:g} ms"),
        Row("frame path latency p99 (ffmpeg ms/frame)", p99, ffmpeg_ms, "ms", "reported"),
        Row("host getter calls/s (autosend asks 1000)", getter_rate, ASKED_FPS, "  ", "reported"),
        Row("pictures without a readable number (of all)", unreadable, len(lat) + unreadable, "  ",
            "reported"),
        Row("idle connected server CPU s/s (no server)", idle, no_server, "  ",
            f"<= baseline + {IDLE_MARGIN:g}"),
    ]


def main(argv):
    if argv[:1] == ["--app"]:
        print(json.dumps(_app(int(argv[1]), float(argv[2]))))
        return 0
    print_table(run())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
