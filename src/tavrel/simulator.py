"""The app simulator: drives any host's server the way the phone app does, and records the video.

    python -m tavrel.simulator HOST PORT [--seconds S] [--out DIR] [--camera INDEX]

It connects to the server at HOST:PORT (and nowhere else) with the reference client
`tavrel.app.AppClient`, asks the server info and the scene, selects a camera (``--camera``, by
default the app's current one or the first), moves it along a short path, records transform and
focal-length keys, then streams the viewport with autosend for ``--seconds`` from the first
picture (which may take up to 30 s to come) while it keeps moving the camera. What it received goes
to ``DIR/stream.webm`` (the VP9 packets as they came, muxed without re-encoding) and
``DIR/frame.png`` (the last decoded frame); a summary follows.

It changes the host scene like the app does: the selected camera is moved and keyed, and its
transform and focal length are set back at the end; the keys stay. Use a camera that may be keyed.

Its moves orbit the camera about the world's vertical axis through the origin, taking the
transform as a row-major camera-to-world matrix (translation in elements 3, 7 and 11) with z up:
the convention of the demo host. Other hosts still see the camera move, along some other path.

Exit status: 0 on success, 1 when the server could not be reached, failed or sent no video,
130 on Ctrl-C.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import threading
import time
from dataclasses import dataclass, field
from fractions import Fraction

from tavrel.app import AppClient, ProtocolError, ServerError

STREAM_FPS = 30.0
STREAM_MBPS = 2.0
PATH_STEPS = 24
MOVE_PERIOD = 1.0 / 30  # how often the camera moves while streaming
FIRST_PICTURE_WAIT = 30.0  # seconds a stream may take to send its first picture
ORBIT = math.radians(25.0)


class Interrupted(Exception):
    """The run was asked to stop before it finished."""


@dataclass
class Report:
    """What a run sent and received."""

    server: str = ""
    camera: str = ""
    commands: int = 0
    round_trips: list = field(default_factory=list)  # seconds, one per command
    frames: int = 0
    stream_seconds: float = 0.0
    stream_bytes: int = 0
    frame_size: tuple | None = None  # decoded (width, height)
    webm: str | None = None
    png: str | None = None

    def summary(self) -> str:
        rt = sorted(self.round_trips)
        p50, p99 = (_percentile(rt, 0.5) * 1e3, _percentile(rt, 0.99) * 1e3) if rt else (0, 0)
        fps = self.frames / self.stream_seconds if self.stream_seconds else 0.0
        kbps = self.stream_bytes * 8 / self.stream_seconds / 1e3 if self.stream_seconds else 0.0
        size = "x".join(map(str, self.frame_size)) if self.frame_size else "-"
        lines = [
            f"summary: {self.server}, camera {self.camera}",
            f"  commands sent      {self.commands}, round trip p50 {p50:.2f} ms, p99 {p99:.2f} ms",
            f"  frames received    {self.frames} ({size}) in {self.stream_seconds:.1f} s: "
            f"{fps:.1f} fps, {kbps:.0f} kbit/s",
        ]
        if self.webm:
            lines.append(f"  video              {self.webm}")
        if self.png:
            lines.append(f"  last frame         {self.png}")
        return "\n".join(lines)


def _percentile(ordered, q):
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


# -- camera moves --------------------------------------------------------------------------------
def orbit(transform, angle, lift=0.0):
    """`transform` turned by `angle` about the world z axis through the origin and raised by
    `lift`: row-major 4x4, so the new matrix is Rz @ M plus the lift on the translation."""
    c, s = math.cos(angle), math.sin(angle)
    m = [list(transform[4 * r : 4 * r + 4]) for r in range(4)]
    out = [row[:] for row in m]
    for col in range(4):
        out[0][col] = c * m[0][col] - s * m[1][col]
        out[1][col] = s * m[0][col] + c * m[1][col]
    out[2][3] += lift
    return tuple(float(v) for row in out for v in row)


def path_point(base, focal_length, phase):
    """Where the camera is at `phase` (0 to 1, and on) of its back-and-forth orbit."""
    angle = ORBIT * math.sin(2 * math.pi * phase)
    return orbit(base, angle, 0.5 * math.sin(4 * math.pi * phase)), focal_length * (
        1.0 + 0.25 * math.sin(2 * math.pi * phase)
    )


# -- the run -------------------------------------------------------------------------------------
class Simulator:
    def __init__(self, host, port, *, seconds=4.0, out_dir="demo-output", camera=None,
                 progress=print, stop=None, timeout=5.0):
        self.address = (host, port)
        self.seconds = seconds
        self.out_dir = out_dir
        self.camera = camera
        self.progress = progress
        self.stop = stop or threading.Event()
        self.timeout = timeout
        self.report = Report()
        self.app: AppClient | None = None

    def interrupt(self):
        """Asks a run in another thread to stop; a wait for the server ends at once."""
        self.stop.set()
        if self.app is not None:
            self.app.abort()

    def _step(self, text):
        if self.stop.is_set():
            raise Interrupted()
        self.progress(f"simulator: {text}")

    def _timed(self, fn, *args, **kwargs):
        """One command, timed from its request to its reply (or its echo)."""
        started = time.perf_counter()
        result = fn(*args, **kwargs)
        self.report.round_trips.append(time.perf_counter() - started)
        self.report.commands += 1
        return result

    def run(self) -> Report:
        host, port = self.address
        self._step(f"connecting to {host}:{port}")
        with AppClient(host, port, timeout=self.timeout) as app:
            self.app = app
            self._scene()
            base, focal = self._move_along_path()
            self._record_keys(base, focal)
            packets = self._stream(base, focal)
            self._step("putting the camera back")
            self._timed(app.set_camera_all, base, focal)
            errors = app.sync()
            if errors:
                self.progress(f"simulator: the server answered error codes {errors}")
        self._write(packets)
        return self.report

    def _scene(self):
        app, r = self.app, self.report
        version, platform, name = self._timed(app.server_info)
        r.server = f"server {'.'.join(map(str, version))} on {platform} ({name})"
        self._step(r.server)
        plugin = self._timed(app.plugin_version)
        fps = self._timed(app.play_fps)
        scripts = self._timed(app.script_info)
        current, names = self._timed(app.scene_cameras)
        self._step(f"plug-in {'.'.join(map(str, plugin))}, timeline at {fps:g} fps, "
                   f"scripts {scripts}, cameras {names}")
        if not names:
            raise RuntimeError("the host lists no cameras")
        index = self.camera if self.camera is not None else (current or 0)
        if not 0 <= index < len(names):
            raise RuntimeError(f"no camera {index}: the host lists {len(names)}")
        if not self._timed(app.select_camera, index):
            raise RuntimeError(f"the host says camera {names[index]!r} does not exist")
        r.camera = names[index]
        start, end, frame, focal = self._timed(app.scene_status)
        self._step(f"selected {r.camera}: playback state ({start:g}, {end:g}, {frame:g}), "
                   f"focal length {focal:g}")

    def _move_along_path(self):
        app = self.app
        base = self._timed(app.camera_matrix)
        focal = self._timed(app.scene_status)[3]
        self._step(f"moving {self.report.camera} along a path ({PATH_STEPS} steps)")
        for i in range(PATH_STEPS):
            if self.stop.is_set():
                raise Interrupted()
            matrix, f = path_point(base, focal, i / PATH_STEPS)
            if i % 2:
                self._timed(app.set_camera_matrix, matrix, float(i + 1))  # at a time
            else:
                self._timed(app.set_camera_matrix, matrix)
            self._timed(app.set_focal_length, f)
        moved = self._timed(app.camera_matrix)
        self._step("the host follows the camera" if moved != base
                   else "the camera did not move on the host")
        return base, focal

    def _record_keys(self, base, focal):
        app = self.app
        self._step("recording transform and focal-length keys")
        times = [1.0 + 12 * i for i in range(5)]
        points = [path_point(base, focal, i / 4) for i in range(5)]
        self._timed(app.set_camera_matrix_keys, [(m, t) for (m, _), t in zip(points, times)])
        self._timed(app.set_camera_flen_keys, [(f, t) for (_, f), t in zip(points, times)])
        has, first, second = self._timed(app.camera_has_keys)
        self._step(f"the host reports keys: {has} (transform {first}, focal length {second})")

    def _stream(self, base, focal):
        """Streams with autosend for self.seconds while the camera keeps moving; returns the
        packets in arrival order."""
        app, r = self.app, self.report
        self._step(f"streaming for {self.seconds:g} s at {STREAM_FPS:g} fps, "
                   f"{STREAM_MBPS:g} Mbit/s")
        self._timed(app.start_streaming, fps=STREAM_FPS, mbps=STREAM_MBPS, autosend=True)
        packets = []
        started = time.monotonic()
        next_move = started
        # The seconds count from the first picture: a host whose encoder worker is slow to start
        # (a spawned interpreter on a busy machine, Windows under Wine) would otherwise be
        # stopped before it sent any.
        since, limit = started, FIRST_PICTURE_WAIT
        # An interruption leaves by an exception; the disconnection ends the stream on the server.
        while True:
            now = time.monotonic()
            if now - since >= limit:
                break
            if self.stop.is_set():
                raise Interrupted()
            if now >= next_move:
                # A quarter of the path: one way round, zooming in, so that no two moments of
                # the stream look alike.
                matrix, f = path_point(base, focal, 0.25 * (now - started) / self.seconds)
                self._timed(app.set_camera_all, matrix, f)
                next_move += MOVE_PERIOD
                if next_move < now:  # the moves fell behind: no burst to catch up
                    next_move = now + MOVE_PERIOD
            try:
                packet = app.read_video_packet(timeout=max(0.0, next_move - time.monotonic()))
            except TimeoutError:
                continue
            if not packets:
                since, limit = time.monotonic(), self.seconds
            packets.append(packet)
        r.stream_seconds = time.monotonic() - since
        self._timed(app.stop_streaming)
        errors = self._timed(app.sync)
        if errors:
            self._step(f"streaming answered error codes {errors}")
        while app.packets:  # those that came before the stop took effect
            packets.append(app.packets.popleft())
        r.frames = len(packets)
        r.stream_bytes = sum(map(len, packets))
        self._step(f"received {r.frames} video packets ({r.stream_bytes / 1e3:.0f} kB)")
        return packets

    def _write(self, packets):
        if not packets:
            raise RuntimeError("no video arrived")
        self._step(f"writing {self.out_dir}")
        os.makedirs(self.out_dir, exist_ok=True)
        r = self.report
        r.webm = os.path.join(self.out_dir, "stream.webm")
        r.png = os.path.join(self.out_dir, "frame.png")
        last, r.frame_size = write_webm(packets, STREAM_FPS, r.webm)
        write_png(last, r.png)


# -- the files -----------------------------------------------------------------------------------
def write_webm(packets, fps, path):
    """Muxes VP9 packets, as they came, into a webm file with a stream of the decoded size at
    `fps` (pts = frame index). Returns the last decoded frame and its (width, height)."""
    import av

    decoder = av.CodecContext.create("vp9", "r")
    decoded, keyframes = [], []
    for data in packets:
        frames = decoder.decode(av.Packet(data))
        keyframes.append(any(f.key_frame for f in frames))
        decoded.extend(frames)
    if not decoded:
        raise RuntimeError("none of the video packets decodes to a frame")
    size = (decoded[0].width, decoded[0].height)
    rate = Fraction(fps).limit_denominator(1001)
    with av.open(path, "w", format="webm") as container:
        stream = container.add_stream("vp9", rate=rate)
        stream.width, stream.height = size
        stream.pix_fmt = "yuv420p"
        for index, (data, key) in enumerate(zip(packets, keyframes)):
            packet = av.Packet(data)
            packet.stream = stream
            packet.time_base = 1 / rate
            packet.pts = packet.dts = index
            packet.is_keyframe = key
            container.mux(packet)
    return decoded[-1], size


def write_png(frame, path):
    """A decoded frame as a PNG file, through FFmpeg's own PNG encoder."""
    import av

    rgb = frame.reformat(format="rgb24")
    encoder = av.CodecContext.create("png", "w")
    encoder.width, encoder.height, encoder.pix_fmt = rgb.width, rgb.height, "rgb24"
    data = b"".join(bytes(p) for p in encoder.encode(rgb)) + b"".join(
        bytes(p) for p in encoder.encode(None))
    with open(path, "wb") as f:
        f.write(data)


def simulate(host, port, **kwargs) -> Report:
    """Runs the simulator against the server at host:port; see Simulator for the options."""
    return Simulator(host, port, **kwargs).run()


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m tavrel.simulator",
                                description=__doc__.split("\n")[0])
    p.add_argument("host", help="the host's address, as the connection string names it")
    p.add_argument("port", type=int)
    p.add_argument("--seconds", type=float, default=4.0,
                   help="streaming time (default: %(default)s)")
    p.add_argument("--out", default="demo-output", help="output directory (default: %(default)s)")
    p.add_argument("--camera", type=int, default=None,
                   help="index of the camera to drive (default: the current one, or the first)")
    args = p.parse_args(sys.argv[1:] if argv is None else argv)
    if args.seconds <= 0:
        p.error("--seconds must be positive")
    try:
        report = simulate(args.host, args.port, seconds=args.seconds, out_dir=args.out,
                          camera=args.camera, progress=lambda line: print(line, flush=True))
    except KeyboardInterrupt:
        print("\nsimulator: interrupted", file=sys.stderr)
        return 130
    except (OSError, ProtocolError, ServerError, RuntimeError) as e:
        print(f"simulator: {type(e).__name__}: {e}", file=sys.stderr)
        return 1
    print(report.summary())
    return 0


if __name__ == "__main__":
    sys.exit(main())
