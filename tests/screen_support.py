"""A virtual X screen (Xvfb) showing windows of known colours, and the pixels a grab of it must
give. No window manager: a window appears exactly where it is created."""

import ctypes
import ctypes.util
import os
import select
import subprocess
import time

import numpy as np


class XColor(ctypes.Structure):
    _fields_ = [("pixel", ctypes.c_ulong), ("red", ctypes.c_ushort), ("green", ctypes.c_ushort),
                ("blue", ctypes.c_ushort), ("flags", ctypes.c_char), ("pad", ctypes.c_char)]


def _xlib():
    x = ctypes.CDLL(ctypes.util.find_library("X11"))
    dpy, xid, c_int, c_uint = ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_uint
    for name, res, args in [
        ("XOpenDisplay", dpy, [ctypes.c_char_p]),
        ("XDefaultScreen", c_int, [dpy]),
        ("XRootWindow", xid, [dpy, c_int]),
        ("XDefaultColormap", xid, [dpy, c_int]),
        ("XAllocColor", c_int, [dpy, xid, ctypes.POINTER(XColor)]),
        ("XCreateSimpleWindow", xid, [dpy, xid, c_int, c_int, c_uint, c_uint, c_uint, xid, xid]),
        ("XMapWindow", c_int, [dpy, xid]),
        ("XDestroyWindow", c_int, [dpy, xid]),
        ("XSetWindowBackground", c_int, [dpy, xid, xid]),
        ("XClearWindow", c_int, [dpy, xid]),
        ("XSync", c_int, [dpy, c_int]),
        ("XCloseDisplay", c_int, [dpy]),
    ]:
        f = getattr(x, name)
        f.restype, f.argtypes = res, args
    return x


class VirtualScreen:
    """Xvfb on a display number it picks itself, with a client that paints on it."""

    def __init__(self, width=320, height=240, depth=24, shared_memory=True, timeout=10.0):
        self.width, self.height = width, height
        self.root_colour = (0, 0, 0)
        self.windows = []  # (x, y, width, height, rgb), bottom first
        read_end, write_end = os.pipe()
        command = ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                   f"{width}x{height}x{depth}", "-nolisten", "tcp", "-noreset"]
        if not shared_memory:
            command += ["-extension", "MIT-SHM"]
        self.proc = subprocess.Popen(command, pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        os.close(write_end)
        try:
            self.display = f":{self._display_number(read_end, timeout)}"
        except BaseException:
            self.kill()
            raise
        finally:
            os.close(read_end)
        self._x = _xlib()
        self._dpy = self._x.XOpenDisplay(self.display.encode())
        assert self._dpy, f"cannot connect to {self.display}"
        screen = self._x.XDefaultScreen(self._dpy)
        self._root = self._x.XRootWindow(self._dpy, screen)
        self._colormap = self._x.XDefaultColormap(self._dpy, screen)

    @staticmethod
    def _display_number(fd, timeout):
        # Xvfb writes the number once it accepts connections.
        deadline, text = time.monotonic() + timeout, b""
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError("Xvfb did not come up in time")
            chunk = os.read(fd, 32)
            if not chunk:
                raise RuntimeError("Xvfb ended before it came up")
            text += chunk
        return int(text)

    def _pixel(self, rgb):
        c = XColor(0, *(v * 257 for v in rgb))
        assert self._x.XAllocColor(self._dpy, self._colormap, ctypes.byref(c))
        return c.pixel

    def fill(self, rgb):
        """Paints the whole screen (the root window) in `rgb`."""
        self._x.XSetWindowBackground(self._dpy, self._root, self._pixel(rgb))
        self._x.XClearWindow(self._dpy, self._root)
        self._x.XSync(self._dpy, 0)
        self.root_colour = rgb

    def window(self, x, y, width, height, rgb):
        """Shows a window of one colour on top of everything else."""
        w = self._x.XCreateSimpleWindow(self._dpy, self._root, x, y, width, height, 0, 0,
                                        self._pixel(rgb))
        self._x.XMapWindow(self._dpy, w)
        self._x.XSync(self._dpy, 0)
        self.windows.append((x, y, width, height, rgb))

    def expected(self, x, y, width, height):
        """What a grab of the region must give: B, G, R, 255 rows, black off the screen."""
        canvas = np.zeros((self.height, self.width, 3), np.uint8)
        canvas[...] = self.root_colour
        for wx, wy, ww, wh, rgb in self.windows:
            canvas[wy:wy + wh, wx:wx + ww] = rgb
        out = np.zeros((height, width, 4), np.uint8)
        out[..., 3] = 255
        x0, y0 = max(x, 0), max(y, 0)
        x1, y1 = min(x + width, self.width), min(y + height, self.height)
        if x1 > x0 and y1 > y0:
            out[y0 - y:y1 - y, x0 - x:x1 - x, :3] = canvas[y0:y1, x0:x1, ::-1]
        return out

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(10)

    def close(self):
        if getattr(self, "_dpy", None) and self.proc.poll() is None:
            self._x.XCloseDisplay(self._dpy)
        self._dpy = None
        self.kill()


def absent_display():
    """A display name with no server behind it."""
    n = 5000
    while os.path.exists(f"/tmp/.X11-unix/X{n}") or os.path.exists(f"/tmp/.X{n}-lock"):
        n += 1
    return f":{n}"
