"""The demo host: a small scene served to the app, and by default an app simulator run against it.

    python -m tavrel.demo [--out DIR] [--seconds S] [--quick] [--serve] [--pull] [--port N]

The host below is a complete `TavBase` implementation, the kind a plug-in writes for its
application: a few named cameras (a 4x4 transform and a focal length each), a timeline (range,
current frame, fps, playback), transform and focal-length keys, two custom scripts, and a viewport
rendered with numpy through the camera it looks through, delivered in buffer mode.

Without ``--serve`` it then runs the app simulator (``tavrel.simulator``) against itself for a few
seconds and writes what the app received into ``--out``; with ``--serve`` it serves a real phone
until Ctrl-C. Either way it first prints the connection string and the QR code, and writes the QR
code as ``qr.png``.

Exit status: 0 when the run completed, and also when Ctrl-C ends ``--serve`` (its normal end);
1 when serving could not start or the simulator failed; 130 when Ctrl-C interrupted a simulator
run.

Camera transforms are read as row-major camera-to-world matrices (translation in elements 3, 7
and 11), the camera looking along its local -Z with +Y up, in a world whose ground is z = 0. The
focal length is in millimetres on a 36 mm wide sensor. These are this host's conventions; the
server passes the numbers through untouched.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time
import traceback

import numpy as np

from tavrel.tav_base import TavBase
from tavrel.tav_core import TavServer

PLUGIN_VERSION = (1, 0, 0)
WIDTH, HEIGHT = 640, 360
SENSOR_WIDTH = 36.0  # millimetres
NEAR = 0.1
SHUTDOWN_TIMEOUT = 15.0


def rgba(r, g, b, a=255):
    """A pixel as the uint32 whose bytes in memory are r, g, b, a."""
    return np.array([r, g, b, a], np.uint8).view("<u4")[0]


SKY, GROUND = rgba(118, 150, 196), rgba(58, 62, 66)
BAR, BAR_BACK = rgba(240, 240, 240), rgba(30, 30, 30)
GRID, AXIS_X, AXIS_Y = rgba(150, 154, 160), rgba(220, 70, 60), rgba(90, 200, 80)
LIGHT = np.array((0.4, -0.3, 0.87)) / np.linalg.norm((0.4, -0.3, 0.87))
# (centre x, centre y, size x, size y, height, colour)
BOXES = [
    (0.0, 0.0, 1.6, 1.6, 1.6, (230, 160, 40)),
    (3.5, 1.0, 1.0, 1.0, 2.6, (70, 120, 230)),
    (-2.5, 2.5, 2.0, 0.8, 0.8, (200, 60, 160)),
    (1.5, -3.0, 0.7, 0.7, 0.7, (60, 200, 190)),
]


def look_at(eye, target, focal_length=35.0):
    """(transform, focal length) of a camera at `eye` looking at `target`, world z up."""
    eye, target = np.asarray(eye, float), np.asarray(target, float)
    back = eye - target
    back /= np.linalg.norm(back)
    right = np.cross((0.0, 0.0, 1.0), back)
    right /= np.linalg.norm(right)
    up = np.cross(back, right)
    m = np.identity(4)
    m[:3, 0], m[:3, 1], m[:3, 2], m[:3, 3] = right, up, back, eye
    return tuple(float(v) for v in m.ravel()), float(focal_length)


# -- the viewport --------------------------------------------------------------------------------
class Viewport:
    """Renders the scene through a camera: sky and ground split at the horizon, the ground grid
    as lines, the boxes as shaded faces drawn back to front, and a timeline bar. Pixels are
    handled as packed RGBA words, which keeps a 640x360 frame to a few milliseconds."""

    def __init__(self, width=WIDTH, height=HEIGHT, grid=12):
        self.width, self.height = width, height
        self.show_grid = True
        self._xs = np.arange(width, dtype=np.float32) - (width - 1) / 2
        self._ys = (height - 1) / 2 - np.arange(height, dtype=np.float32)
        r = np.arange(-grid, grid + 1, dtype=float)
        ends = np.full(r.shape, float(grid))
        z = np.zeros_like(r)
        along_y = np.stack([np.stack([r, -ends, z], 1), np.stack([r, ends, z], 1)], 1)
        along_x = np.stack([np.stack([-ends, r, z], 1), np.stack([ends, r, z], 1)], 1)
        self._lines = np.concatenate([along_y, along_x])
        self._line_colours = np.full(len(self._lines), GRID)
        self._line_colours[grid] = AXIS_Y  # the line x = 0
        self._line_colours[len(r) + grid] = AXIS_X
        faces = [face for box in BOXES for face in _box_faces(*box)]
        self._faces = tuple(np.array(column) for column in zip(*faces))

    def render(self, transform, focal_length, progress=None):
        """The frame as a (height, width, 4) RGBA array."""
        m = np.asarray(transform, float).reshape(4, 4)
        rotation, eye = m[:3, :3], m[:3, 3]
        f = focal_length / SENSOR_WIDTH * self.width
        # A pixel looks at the sky when its ray points up: the world z of the ray (x, y, -f) in
        # camera space is a x + b y - c f, so the horizon is a straight line.
        a, b, c = rotation[2]
        image = np.where(a * self._xs[None, :] + (b * self._ys - c * f)[:, None] > 0, SKY, GROUND)
        if self.show_grid:
            self._draw_lines(image, rotation, eye, f)
        self._draw_faces(image, rotation, eye, f)
        if progress is not None:
            bar = int(round(min(max(progress, 0.0), 1.0) * self.width))
            image[-6:, :bar], image[-6:, bar:] = BAR, BAR_BACK
        return image.view(np.uint8).reshape(self.height, self.width, 4)

    def _project(self, points_camera, f):
        depth = -points_camera[..., 2]
        x = (self.width - 1) / 2 + f * points_camera[..., 0] / depth
        y = (self.height - 1) / 2 - f * points_camera[..., 1] / depth
        return np.stack([x, y], -1)

    def _draw_lines(self, image, rotation, eye, f):
        cam = (self._lines - eye) @ rotation  # (lines, 2, 3) in camera space
        z0, z1 = cam[:, 0, 2], cam[:, 1, 2]
        keep = (z0 < -NEAR) | (z1 < -NEAR)
        cam, colours, z0, z1 = cam[keep], self._line_colours[keep], z0[keep], z1[keep]
        # Clip each line to the near plane.
        t = np.clip((-NEAR - z0) / np.where(z1 == z0, 1e-12, z1 - z0), 0.0, 1.0)[:, None]
        cut = cam[:, 0] + t * (cam[:, 1] - cam[:, 0])
        p0 = np.where((z0 < -NEAR)[:, None], cam[:, 0], cut)
        p1 = np.where((z1 < -NEAR)[:, None], cam[:, 1], cut)
        s0, s1 = self._project(p0, f), self._project(p1, f)
        # Clip to the image (Liang-Barsky), then one sample per pixel along each line.
        d = s1 - s0
        lo, hi = np.zeros(len(d)), np.ones(len(d))
        for axis, limit in ((0, self.width - 1), (1, self.height - 1)):
            for p, q in ((-d[:, axis], s0[:, axis]), (d[:, axis], limit - s0[:, axis])):
                with np.errstate(divide="ignore", invalid="ignore"):
                    r = q / p
                hi = np.where((p == 0) & (q < 0), -1.0, hi)  # parallel to the edge, outside
                lo = np.where(p < 0, np.maximum(lo, r), lo)
                hi = np.where(p > 0, np.minimum(hi, r), hi)
        visible = lo <= hi
        s0, d, lo, hi, colours = s0[visible], d[visible], lo[visible], hi[visible], colours[visible]
        a, b = s0 + lo[:, None] * d, s0 + hi[:, None] * d
        counts = (np.abs(b - a).max(1) + 1).astype(int)
        line = np.repeat(np.arange(len(counts)), counts)
        step = np.arange(counts.sum()) - np.repeat(np.cumsum(counts) - counts, counts)
        t = step / np.maximum(counts - 1, 1)[line]
        pts = np.rint(a[line] + t[:, None] * (b - a)[line]).astype(int)
        x = np.clip(pts[:, 0], 0, self.width - 1)
        y = np.clip(pts[:, 1], 0, self.height - 1)
        image[y, x] = colours[line]

    def _draw_faces(self, image, rotation, eye, f):
        corners, centres, normals, colours = self._faces
        facing = np.einsum("ij,ij->i", normals, eye - centres) > 0
        cam = (corners[facing] - eye) @ rotation  # (faces, 4, 3)
        quads = self._project(cam, f)
        in_front = (cam[..., 2] < -NEAR).all(1)  # a face reaching behind the camera is left out
        colours = colours[facing]
        distance = np.linalg.norm(centres[facing] - eye, axis=1)
        for i in np.argsort(-distance):  # far faces first
            if not in_front[i]:
                continue
            quad = quads[i]
            x0, y0 = np.maximum(np.floor(quad.min(0)).astype(int), 0)
            x1 = min(int(np.ceil(quad[:, 0].max())) + 1, self.width)
            y1 = min(int(np.ceil(quad[:, 1].max())) + 1, self.height)
            if x0 >= x1 or y0 >= y1:
                continue
            xs = np.arange(x0, x1, dtype=np.float32)[None, :]
            ys = np.arange(y0, y1, dtype=np.float32)[:, None]
            inside = None
            for (ax, ay), (bx, by) in zip(quad, quad[[1, 2, 3, 0]]):
                # Faces that face the camera wind the same way on screen: inside is one side of
                # every edge.
                edge = (xs - ax) * (by - ay) - (ys - ay) * (bx - ax) >= 0
                inside = edge if inside is None else inside & edge
            image[y0:y1, x0:x1][inside] = colours[i]


def _box_faces(cx, cy, sx, sy, height, colour):
    """The six faces of a box standing on the ground: (corners, centre, normal, shaded colour),
    corners counter-clockwise seen from outside."""
    x0, x1, y0, y1, z0, z1 = cx - sx / 2, cx + sx / 2, cy - sy / 2, cy + sy / 2, 0.0, height
    faces = [
        ((x1, y0, z0), (x1, y1, z0), (x1, y1, z1), (x1, y0, z1)),
        ((x0, y1, z0), (x0, y0, z0), (x0, y0, z1), (x0, y1, z1)),
        ((x1, y1, z0), (x0, y1, z0), (x0, y1, z1), (x1, y1, z1)),
        ((x0, y0, z0), (x1, y0, z0), (x1, y0, z1), (x0, y0, z1)),
        ((x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)),
        ((x0, y1, z0), (x1, y1, z0), (x1, y0, z0), (x0, y0, z0)),
    ]
    out = []
    for face in faces:
        corners = np.array(face, float)
        centre = corners.mean(0)
        normal = np.cross(corners[1] - corners[0], corners[2] - corners[1])
        normal /= np.linalg.norm(normal)
        shade = 0.45 + 0.55 * max(0.0, float(np.dot(normal, LIGHT)))
        out.append((corners, centre, normal, rgba(*(int(c * shade) for c in colour))))
    return out


# -- the scene -----------------------------------------------------------------------------------
class Camera:
    def __init__(self, transform, focal_length):
        self.transform, self.focal_length = tuple(transform), float(focal_length)
        self.initial = (self.transform, self.focal_length)
        self.transform_keys: list[tuple[float, tuple]] = []  # (time, transform), by time
        self.flen_keys: list[tuple[float, float]] = []

    def evaluate(self, frame):
        """Keyed values follow the timeline, linearly between keys and held beyond them."""
        if self.transform_keys:
            self.transform = tuple(_interpolate(self.transform_keys, frame))
        if self.flen_keys:
            self.focal_length = float(_interpolate(self.flen_keys, frame))


def _interpolate(keys, frame):
    times = [t for t, _ in keys]
    values = np.array([v for _, v in keys], float)
    if values.ndim == 1:
        return np.interp(frame, times, values)
    return np.array([np.interp(frame, times, values[:, i]) for i in range(values.shape[1])])


def _merge_keys(existing, keyframes, values):
    """Keys replace keys at the same time; the list stays sorted by time."""
    merged = dict(existing)
    merged.update((float(t), v) for t, v in zip(keyframes, values))
    return sorted(merged.items())


class Timeline:
    def __init__(self, start=1.0, end=120.0, fps=24.0):
        self.start, self.end, self.fps = start, end, fps
        self.frame = start
        self.playing = False
        self._played_from = (0.0, start)  # (clock, frame) when playback started

    def current(self):
        """The current frame; while playing it moves with the clock and loops over the range."""
        if self.playing:
            clock, frame = self._played_from
            length = max(self.end - self.start, 1.0)
            played = (time.monotonic() - clock) * self.fps
            self.frame = self.start + (frame - self.start + played) % length
        return self.frame

    def play(self, playing):
        self.seek(self.current())
        self.playing = playing

    def seek(self, frame):
        self.frame = float(frame)
        self._played_from = (time.monotonic(), self.frame)  # playback goes on from here


class DemoHost(TavBase):
    """The host's side: a small scene, rendered through the camera the viewport looks through.

    Push mode calls these from the server's threads one at a time (never overlapping), pull mode
    from the thread that calls execute_pending_events."""

    SCRIPTS = ["Reset camera", "Toggle grid"]

    def __init__(self, log=print):
        self.log = log
        self.cameras = {
            "Camera": Camera(*look_at((7.0, -7.0, 3.5), (0.0, 0.0, 0.8), 35.0)),
            "Camera.Top": Camera(*look_at((0.5, -2.0, 14.0), (0.0, 0.0, 0.0), 24.0)),
            "Camera.Side": Camera(*look_at((-9.0, 1.0, 1.8), (0.0, 0.0, 1.0), 50.0)),
        }
        self.timeline = Timeline()
        self.viewport = Viewport()
        self.viewport_camera = "Camera"
        self.frames_rendered = 0

    # -- session --------------------------------------------------------------------------------
    def client_connected(self, server, client_ip, client_port):
        self.log(f"demo: app connected from {client_ip}:{client_port}")

    def client_disconnected(self, server):
        self.log("demo: app disconnected")

    def current_camera_changed(self, server, camera_name):
        if camera_name:
            self.log(f"demo: the app drives {camera_name}")

    # -- scene queries --------------------------------------------------------------------------
    def get_playback_state(self, server):
        t = self.timeline
        return (t.start, t.end, t.current())

    def get_playback_fps(self, server):
        return self.timeline.fps

    def get_scene_cameras(self, server):
        return list(self.cameras)

    def get_camera_exists(self, server, camera_name):
        return camera_name in self.cameras

    def get_camera_has_keys(self, server, camera_name):
        camera = self.cameras[camera_name]
        return (bool(camera.transform_keys), bool(camera.flen_keys))

    def get_camera_focal_length(self, server, camera_name):
        return self.cameras[camera_name].focal_length

    def get_camera_transform(self, server, camera_name):
        return self.cameras[camera_name].transform

    def get_script_labels(self, server):
        return self.SCRIPTS

    # -- scene changes --------------------------------------------------------------------------
    def set_frame(self, server, frame):
        self.timeline.seek(frame)
        for camera in self.cameras.values():
            camera.evaluate(frame)

    def set_playback_range(self, server, start, end):
        self.timeline.start, self.timeline.end = float(start), float(end)

    def set_camera_transform(self, server, camera_name, transform):
        self.cameras[camera_name].transform = tuple(transform)

    def set_camera_focal_length(self, server, camera_name, focal_length):
        self.cameras[camera_name].focal_length = float(focal_length)

    def set_camera_transform_keys(self, server, camera_name, keyframes, values):
        camera = self.cameras[camera_name]
        camera.transform_keys = _merge_keys(camera.transform_keys, keyframes, map(tuple, values))
        self.log(f"demo: {len(keyframes)} transform keys on {camera_name}")

    def set_camera_flen_keys(self, server, camera_name, keyframes, values):
        camera = self.cameras[camera_name]
        camera.flen_keys = _merge_keys(camera.flen_keys, keyframes, map(float, values))
        self.log(f"demo: {len(keyframes)} focal-length keys on {camera_name}")

    def remove_camera_keys(self, server, camera_name):
        camera = self.cameras[camera_name]
        camera.transform_keys, camera.flen_keys = [], []
        self.log(f"demo: keys of {camera_name} removed")

    def create_new_camera(self, server):
        n = 1
        while f"Camera.{n:03d}" in self.cameras:
            n += 1
        name = f"Camera.{n:03d}"
        self.cameras[name] = Camera(*look_at((7.0, -7.0, 3.5), (0.0, 0.0, 0.8)))
        self.log(f"demo: created {name}")
        return name

    def look_through_camera(self, server, camera_name):
        self.viewport_camera = camera_name

    def start_playback(self, server, flag):
        self.timeline.play(True)

    def stop_playback(self, server):
        self.timeline.play(False)
        for camera in self.cameras.values():
            camera.evaluate(self.timeline.frame)

    def execute_script(self, server, index, camera_name):
        if index == 0 and camera_name in self.cameras:
            camera = self.cameras[camera_name]
            camera.transform, camera.focal_length = camera.initial
        elif index == 1:
            self.viewport.show_grid = not self.viewport.show_grid
        else:
            return False
        self.log(f"demo: ran script {self.SCRIPTS[index]!r}")
        return True

    # -- viewport capture -----------------------------------------------------------------------
    def capture_will_start(self, server):
        server.set_capture_mode(TavServer.CAPMODE_BUFFER, TavServer.CAPFORMAT_UBYTE_RGBA)
        server.set_capture_resolution(WIDTH, HEIGHT)
        self.log(f"demo: viewport streaming at {WIDTH}x{HEIGHT}")

    def capture_did_end(self, server):
        self.log(f"demo: viewport streaming ended after {self.frames_rendered} frames")
        self.frames_rendered = 0

    def get_capture_buffer(self, server, camera_name):
        camera = self.cameras.get(self.viewport_camera) or self.cameras.get(camera_name)
        if camera is None:
            return None
        t = self.timeline
        frame = t.current()
        if t.playing:
            for keyed in self.cameras.values():
                keyed.evaluate(frame)
        self.frames_rendered += 1
        # A fresh array per frame: the server copies it after this returns, so nothing here may
        # change it meanwhile.
        return self.viewport.render(camera.transform, camera.focal_length,
                                    (frame - t.start) / max(t.end - t.start, 1.0))


# -- the terminal ---------------------------------------------------------------------------------
def qr_text(rows, ansi=False):
    """The QR code as text, two module rows per line in Unicode half blocks. Dark modules are
    drawn as blocks (right on a light background); with `ansi`, black on white whatever the
    terminal's colours."""
    dark = [[v < 128 for v in row] for row in rows]
    if len(dark) % 2:
        dark.append([False] * len(dark[0]))
    glyphs = {(False, False): " ", (True, False): "\u2580", (False, True): "\u2584",
              (True, True): "\u2588"}
    lines = []
    for top, bottom in zip(dark[0::2], dark[1::2]):
        line = "".join(glyphs[pair] for pair in zip(top, bottom))
        lines.append(f"\x1b[30;107m{line}\x1b[0m" if ansi else line)
    return "\n".join(lines)


def _show_connection(server, out_dir):
    connection = server.get_qr_string()
    png = os.path.join(out_dir, "qr.png")
    server.write_qr_image_png(png, 8)
    # One write: the server's log lines come from other threads and must not split these lines.
    qr = qr_text(server.get_qr_image_raw(1), ansi=sys.stdout.isatty())
    sys.stdout.write(f"demo: serving on port {server.server_port}; connection string {connection}"
                     f"\n{qr}\ndemo: QR code written to {png}\n")
    sys.stdout.flush()


# -- running --------------------------------------------------------------------------------------
class Host:
    """The host application's side of the server's life: serving, the main-thread timer of pull
    mode, and a stop that leaves no worker or shared block behind."""

    def __init__(self, pull):
        self.scene = DemoHost()
        mode = TavServer.EVENTMODE_PULL if pull else TavServer.EVENTMODE_PUSH
        self.server = TavServer("Demo", PLUGIN_VERSION, self.scene, mode)
        self.pull = pull

    def tick(self):
        """One turn of the host's main loop: run what the server queued and wait a millisecond
        (pull mode), or just wait (push mode, where the server calls the host itself)."""
        if not self.pull:
            time.sleep(0.05)
            return
        try:
            self.server.execute_pending_events()
        except Exception:  # a failed host operation; the host's timer carries on
            traceback.print_exc()
        time.sleep(0.001)

    def stop(self):
        """Stops serving and waits until the server, its workers and, in pull mode, the queue
        are done. Ctrl-C meanwhile does not cut this short."""
        server, requested = self.server, False
        deadline = time.monotonic() + SHUTDOWN_TIMEOUT
        while time.monotonic() < deadline:
            try:
                if not requested:
                    server.stop_serving()  # does nothing when the server is not serving
                    requested = True
                busy = server.is_serving or server.is_stopping
                if not busy and not (self.pull and server.is_event_loop_running):
                    return True
                self.tick()
            except KeyboardInterrupt:
                print("demo: still stopping ...", flush=True)
        print("demo: the server did not stop in time", file=sys.stderr)
        return False


def _simulate(host, args):
    """Runs the simulator in a thread while the main thread stays the host's."""
    from tavrel.app import ProtocolError, ServerError
    from tavrel.simulator import Simulator

    sim = Simulator("127.0.0.1", host.server.server_port, seconds=args.seconds, out_dir=args.out)
    result = {}

    def run():
        try:
            result["report"] = sim.run()
        except BaseException as e:  # reported by the main thread
            result["error"] = e

    thread = threading.Thread(target=run, name="app-simulator", daemon=True)
    thread.start()
    try:
        while thread.is_alive():
            host.tick()
    except KeyboardInterrupt:
        sim.interrupt()
        while thread.is_alive():
            try:
                host.tick()
            except KeyboardInterrupt:
                pass
        raise
    if "error" in result:
        error = result["error"]
        if isinstance(error, (OSError, RuntimeError, ServerError, ProtocolError)):
            print(f"demo: the simulator failed: {type(error).__name__}: {error}", file=sys.stderr)
        else:
            traceback.print_exception(type(error), error, error.__traceback__)
        return 1
    print(result["report"].summary(), flush=True)
    return 0


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python -m tavrel.demo", description=__doc__.split("\n")[0])
    p.add_argument("--out", default="demo-output", help="output directory (default: %(default)s)")
    p.add_argument("--port", type=int, default=0, help="TCP port (default: any free port)")
    p.add_argument("--seconds", type=float, default=4.0,
                   help="simulator streaming time (default: %(default)s)")
    p.add_argument("--quick", action="store_true", help="a short run: one second of streaming")
    p.add_argument("--serve", action="store_true",
                   help="serve a real phone until Ctrl-C instead of running the simulator")
    p.add_argument("--pull", action="store_true",
                   help="pull mode: the main thread runs the server's queued host operations")
    args = p.parse_args(argv)
    if args.quick:
        args.seconds = 1.0
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0 to 65535")
    if args.seconds <= 0:
        p.error("--seconds must be positive")
    return args


def _run(host, args):
    if not host.server.start_serving(args.port):
        return 1  # the server has said why
    _show_connection(host.server, args.out)
    if not args.serve:
        return _simulate(host, args)
    print("demo: serving until Ctrl-C", flush=True)
    while True:
        host.tick()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    # Ctrl-C ends the demo even where it was started with SIGINT ignored (a background job of a
    # script), and `kill` ends it as cleanly.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        os.makedirs(args.out, exist_ok=True)
        host = Host(args.pull)
    except KeyboardInterrupt:
        return 130
    try:
        status = _run(host, args)
    except KeyboardInterrupt:
        print("\ndemo: interrupted", flush=True)
        status = 0 if args.serve else 130
    finally:
        stopped = host.stop()
    return status if stopped else 1


if __name__ == "__main__":
    sys.exit(main())
