"""An app's view of a video stream, and a host that serves frames from a buffer."""

import glob
import os
import signal
import struct
import time

import av
import numpy as np

WINDOWS = os.name == "nt"
KILL = getattr(signal, "SIGKILL", signal.SIGTERM)  # Windows terminates the process on either
if WINDOWS:
    import windows_objects

from conftest import (PULL, PullLoop, RecordingHost, TavServer, connect, recv_exact, stop_and_wait,
                      wait_until)


class FrameHost(RecordingHost):
    """A host in buffer (or buffer-pointer) mode whose frames are `frame(n)` bytes."""

    def __init__(self, width=64, height=48, fmt=TavServer.CAPFORMAT_UBYTE_RGBA,
                 mode=TavServer.CAPMODE_BUFFER, vflip=False, colour=(255, 0, 0, 255)):
        super().__init__()
        self.current_camera = None
        self.mode, self.fmt, self.vflip = mode, fmt, vflip
        self.width, self.height = width, height
        self.colour = colour
        self.frames_given = 0
        self.on_frame = None  # called with (server, n) before a frame is returned
        self._keep = None

    def bytes_per_pixel(self):
        return 3 if self.fmt in (TavServer.CAPFORMAT_UBYTE_RGB, TavServer.CAPFORMAT_UBYTE_BGR) else 4

    def pixel(self):
        r, g, b, a = self.colour
        return {TavServer.CAPFORMAT_UBYTE_RGB: bytes([r, g, b]),
                TavServer.CAPFORMAT_UBYTE_BGR: bytes([b, g, r]),
                TavServer.CAPFORMAT_UBYTE_RGBA: bytes([r, g, b, a]),
                TavServer.CAPFORMAT_UBYTE_BGRA: bytes([b, g, r, a])}[self.fmt]

    def frame(self, n):
        return self.pixel() * (self.width * self.height)

    def capture_will_start(self, server):
        self._record("capture_will_start")
        server.set_capture_mode(self.mode, self.fmt)
        server.set_capture_resolution(self.width, self.height)
        server.set_vertical_flip(self.vflip)

    def capture_did_end(self, server):
        self._record("capture_did_end")

    def get_capture_buffer(self, server, name):
        self._record("get_capture_buffer", name)
        if self.on_frame:
            self.on_frame(server, self.frames_given)
        self.frames_given += 1
        return self.frame(self.frames_given)

    def get_capture_pointer(self, server, name):
        import ctypes

        self._record("get_capture_pointer", name)
        self.frames_given += 1
        self._keep = ctypes.create_string_buffer(self.frame(self.frames_given))
        return ctypes.addressof(self._keep)


class VideoApp:
    """Reads the server's messages: video packets (code 4) decoded with PyAV, and bare codes."""

    def __init__(self, sock):
        self.sock = sock
        self.codes = []
        self.packets = []
        self.decoder = av.CodecContext.create("vp9", "r")

    def start(self, fps=30.0, mbps=2.0, opaque=True, autosend=True):
        self.sock.sendall(b"\x96")
        echoes = self.codes.count(150)
        self.read_until(lambda: self.codes.count(150) > echoes)  # packets may still come first
        self.sock.sendall(struct.pack("<ffHBB", fps, mbps, 0, int(opaque), int(autosend)))

    def stop(self):
        self.sock.sendall(b"\x97")

    def read_message(self, timeout=10.0):
        self.sock.settimeout(timeout)
        code = recv_exact(self.sock, 1)[0]
        if code == 4:
            (n,) = struct.unpack("<I", recv_exact(self.sock, 4))
            self.packets.append(recv_exact(self.sock, n))
        else:
            self.codes.append(code)
        return code

    def read_until(self, predicate, timeout=20.0):
        deadline = time.monotonic() + timeout
        while not predicate():
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("the app did not get what it waited for")
            self.read_message(left)

    def frames(self, count, timeout=20.0):
        """Decodes packets until `count` frames came; returns them as RGB numpy arrays."""
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < count:
            before = len(self.packets)
            self.read_until(lambda: len(self.packets) > before, deadline - time.monotonic())
            for frame in self.decoder.decode(av.Packet(self.packets[-1])):
                out.append(frame.to_ndarray(format="rgb24"))
        return out


def shm_entries(pid=None):
    """The frame blocks that process `pid` (this one by default) made and that are still there:
    each carries its creator's pid after its bytes. Other programs' blocks are never counted."""
    pid = os.getpid() if pid is None else pid
    if WINDOWS:
        return windows_objects.frame_blocks(pid)
    found = set()
    for path in glob.glob("/dev/shm/psm_*"):
        try:
            with open(path, "rb") as f:
                f.seek(-32, os.SEEK_END)
                magic, creator = struct.unpack("<8sQ", f.read(16))
        except OSError:  # another user's, too short, or gone meanwhile
            continue
        if magic == b"tavblock" and creator == pid:
            found.add(path)
    return found


def children():
    """Our child processes, reaped or not. Each thread lists the children it forked; a thread
    that ends meanwhile takes its entry with it (and its children go to the others)."""
    if WINDOWS:  # an ended process leaves no entry to reap
        return windows_objects.child_pids()
    kids = set()
    for path in glob.glob(f"/proc/{os.getpid()}/task/*/children"):
        try:
            with open(path) as f:
                kids.update(int(p) for p in f.read().split())
        except OSError:  # the thread ended between the listing and the read
            pass
    return kids


def running_children():
    """Children that have not ended (an ended worker stays a zombie until it is reaped)."""
    if WINDOWS:
        return children()
    alive = set()
    for pid in children():
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] != "Z":
                    alive.add(pid)
        except OSError:  # reaped meanwhile
            pass
    return alive


def wait_until_gone(blocks, timeout=20.0):
    """Waits until no child of ours is left (running or unreaped) and no frame block beyond
    `blocks`. A worker's exit can take seconds on a loaded machine or an instrumented build."""
    wait_until(lambda: not children() and shm_entries() <= blocks, timeout)


def resources():
    """What a stream may leave behind: descriptors, threads, children, shared blocks (only this
    process's count). Windows counts handles for descriptors."""
    return (descriptor_count(), thread_count(), children(), shm_entries())


def descriptor_count():
    return windows_objects.handle_count() if WINDOWS else len(os.listdir("/proc/self/fd"))


def thread_count():
    return windows_objects.thread_count() if WINDOWS else len(os.listdir("/proc/self/task"))


def left_behind(before):
    fds, threads, kids, blocks = resources()
    return (fds - before[0], threads - before[1], kids - before[2], blocks - before[3])


class ScreenHost(RecordingHost):
    """A host in screenshot mode whose viewport sits at `position` with `size`; a new size is
    reported from get_capture_coords, as a host does when its viewport is resized."""

    def __init__(self, position, size):
        super().__init__()
        self.position, self.size = position, size

    def capture_will_start(self, server):
        self._record("capture_will_start")
        server.set_capture_mode(TavServer.CAPMODE_SCREENSHOT)
        server.set_capture_resolution(*self.size)

    def capture_did_end(self, server):
        self._record("capture_did_end")

    def get_capture_coords(self, server, name):
        self._record("get_capture_coords", name)
        server.set_capture_resolution(*self.size)
        return self.position


def near(rgb, colour, tolerance=16):
    return np.abs(rgb.astype(int) - colour).max() <= tolerance



class Session:
    """A serving server with a frame-giving host, and a connected app with a camera selected."""

    def __init__(self, mode, host, **server_arguments):
        self.host = host
        self.server = TavServer("Blender", (1, 2, 3), host, mode, **server_arguments)
        assert self.server.start_serving(0)
        self.loop = PullLoop(self.server) if mode == PULL else None
        self.sock = connect(self.server)
        self.app = VideoApp(self.sock)
        self.select_camera()

    def select_camera(self, index=0):
        self.sock.sendall(b"\x02")
        recv_exact(self.sock, 1)
        n = int.from_bytes(recv_exact(self.sock, 4), "little")
        recv_exact(self.sock, n)
        self.sock.sendall(b"\x34")
        assert recv_exact(self.sock, 1) == b"\x34"
        self.sock.sendall(index.to_bytes(2, "little"))
        self.host.wait_for("current_camera_changed")

    def frame_where(self, predicate, timeout=20.0):
        """Decodes frames until one satisfies `predicate`; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            for f in self.app.frames(1, timeout=max(0.1, deadline - time.monotonic())):
                if predicate(f):
                    return f
            assert time.monotonic() < deadline, "no such frame came"

    def close(self):
        self.sock.close()
        stop_and_wait(self.server, self.loop, timeout=20)
        if self.loop:
            self.loop.close()


def session_processes(sid):
    """Processes still running in session `sid` (the demo's workers stay in its session)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            found.append(int(entry))
    return found


def kill_session(sid):
    """Kills every process of session `sid`: a Wine program runs in a process group of its own."""
    for pid in session_processes(sid):
        try:
            os.kill(pid, KILL)
        except ProcessLookupError:
            pass
