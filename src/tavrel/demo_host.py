"""The demo's host: a complete `TavBase` implementation, the kind a plug-in writes for its
application, and the scene it serves: a few named cameras (a 4x4 transform and a focal length
each), a timeline (range, current frame, fps, playback), transform and focal-length keys, two
custom scripts, and a viewport (``tavrel.demo_viewport``) rendered through the camera it looks
through, delivered in buffer mode.
"""

from __future__ import annotations

import time

import numpy as np

from tavrel.demo_viewport import HEIGHT, WIDTH, Viewport, look_at
from tavrel.tav_base import TavBase
from tavrel.tav_core import TavServer


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

    def __init__(self, log=print, allowed=None):
        """`allowed`: the addresses of the phones served, or None to serve any."""
        self.log = log
        self.allowed = None if allowed is None else set(allowed)
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
    def client_may_connect(self, server, client_ip, client_port):
        if self.allowed is None or client_ip in self.allowed:
            return True
        self.log(f"demo: refused {client_ip}:{client_port} (not given with --allow)")
        return False

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

