"""Viewport frames for the stream.

Buffer mode (the default) draws the scene through the app's camera into an off-screen target at
the stream size (GPUOffScreen.draw_view3d, with the 3D view's shading and overlays) and reads it
back as RGBA bytes into one buffer that is reused for every frame. OpenGL reads rows bottom first,
so the server is asked to flip the picture. The stream keeps the render resolution's aspect with
its longest side at the add-on's stream size; when the render resolution changes during a stream
the next frame comes at the new size.

Screenshot mode streams the largest 3D view's region as it shows on the screen: the server grabs
that rectangle of the X display itself, so the window must be visible and unobstructed.

Without a window on the screen (Blender in the background or as a Python module) only buffer mode
can stream, and only where this Blender draws off-screen without one: those that offer gpu.init()
(5.x) bring up their GPU context with it. Elsewhere the start fails with a message saying so.
"""

from __future__ import annotations

import collections
import time

import bpy
import gpu

from tavrel.blender.scene import scene, shown_window, view3d, window
from tavrel.tav_core import TavServer

RATE_WINDOW = 2.0  # seconds of frames the shown frame rate averages over


def stream_size(render, longest):
    """(width, height) with the render's aspect and the longest side `longest`, both even."""
    ax = render.resolution_x * render.pixel_aspect_x
    ay = render.resolution_y * render.pixel_aspect_y
    scale = longest / max(ax, ay)
    return (max(16, 2 * round(ax * scale / 2)), max(16, 2 * round(ay * scale / 2)))


class Capture:
    """Frames for one stream at a time. `settings()` gives (mode, longest side) when a stream
    starts: mode "BUFFER" or "SCREENSHOT"."""

    def __init__(self, settings):
        self._settings = settings
        self._offscreen = None
        self._buffer = None
        self.size = None
        self.mode = None
        self.frames = 0
        self.busy_seconds = 0.0  # time spent producing frames (drawing and reading back)
        self._recent = collections.deque()

    # -- a stream's life ------------------------------------------------------------------------
    def start(self, server):
        self.mode, longest = self._settings()
        self.frames, self.busy_seconds = 0, 0.0
        self._recent.clear()
        if self.mode == "SCREENSHOT":
            shown_window("Streaming the 3D view as it shows on the screen")
            view = view3d()
            if view is None:
                raise RuntimeError("no 3D view on the screen to stream")
            server.set_capture_mode(TavServer.CAPMODE_SCREENSHOT)
            self.size = (view[1].width, view[1].height)
        else:
            if view3d() is None:
                raise RuntimeError("no 3D view to take the drawing settings from")
            size = stream_size(scene().render, longest)
            self._allocate(*size)
            server.set_capture_mode(TavServer.CAPMODE_BUFFER, TavServer.CAPFORMAT_UBYTE_RGBA)
            server.set_vertical_flip(True)
            self.size = size
        server.set_capture_resolution(*self.size)

    def stop(self):
        if self._offscreen is not None:
            self._offscreen.free()
        self._offscreen = self._buffer = self.size = None
        self._recent.clear()

    def _allocate(self, width, height):
        if self._offscreen is not None:
            self._offscreen.free()
            self._offscreen = None
        if bpy.app.background and hasattr(gpu, "init"):
            gpu.init()  # without a window: brings up this Blender's GPU context (once)
        try:
            self._offscreen = gpu.types.GPUOffScreen(width, height)
        except Exception as e:  # no GPU drawing in this Blender without a window
            if not bpy.app.background:
                raise
            raise RuntimeError("Streaming the 3D view needs Blender's window on the screen, or "
                               f"off-screen drawing without one, which this Blender lacks ({e})")
        self._buffer = gpu.types.Buffer("UBYTE", width * height * 4)

    def _resize(self, server, size):
        if size != self.size:
            server.set_capture_resolution(*size)  # restarts the encoder at the new size
            self.size = size
            return True
        return False

    def _count(self, started):
        now = time.perf_counter()
        self.frames += 1
        self.busy_seconds += now - started
        self._recent.append(now)
        while self._recent and now - self._recent[0] > RATE_WINDOW:
            self._recent.popleft()

    @property
    def rate(self):
        """Frames per second over the last RATE_WINDOW seconds."""
        if len(self._recent) < 2 or time.perf_counter() - self._recent[-1] > RATE_WINDOW:
            return 0.0
        return (len(self._recent) - 1) / (self._recent[-1] - self._recent[0])

    # -- frames ---------------------------------------------------------------------------------
    def frame(self, server, camera):
        """Buffer mode: the scene through `camera` as RGBA bytes, or None (no camera, no 3D
        view: the frame is skipped)."""
        view = view3d()
        if camera is None or view is None or self.size is None:
            return None
        started = time.perf_counter()
        size = stream_size(scene().render, self._settings()[1])
        if self._resize(server, size):
            self._allocate(*size)
        width, height = size
        win = window()
        depsgraph = bpy.context.evaluated_depsgraph_get()
        evaluated = camera.evaluated_get(depsgraph)
        projection = evaluated.calc_matrix_camera(depsgraph, x=width, y=height)
        self._offscreen.draw_view3d(win.scene, win.view_layer, view[2], view[1],
                                    evaluated.matrix_world.inverted(), projection,
                                    do_color_management=True)
        with self._offscreen.bind():
            gpu.state.active_framebuffer_get().read_color(0, 0, width, height, 4, 0, "UBYTE",
                                                          data=self._buffer)
        self._count(started)
        return self._buffer

    def coords(self, server):
        """Screenshot mode: the top-left corner of the 3D view's region on the X screen."""
        started = time.perf_counter()
        view = view3d()
        if view is None:
            return (0, 0)
        region, win = view[1], window()
        self._resize(server, (region.width, region.height))
        # Blender counts region positions from the window's bottom edge; X from the top.
        x = win.x + region.x
        y = win.y + win.height - (region.y + region.height)
        self._count(started)
        return (x, y)
