"""Streaming a region of the screen: in screenshot mode the host only says where its viewport is,
and the screenshot worker grabs that region into the frame block for every frame request.

A virtual X server (Xvfb) shows windows of known colours. The worker is run in-process on a thread
where its exact output matters (the test plays the server's half of the contract), and forked by a
real server where the video matters (decoded with an independent decoder).
"""

import os
import threading
import time

import numpy as np
import pytest

from conftest import PULL, PUSH, stop_and_wait, wait_until
from screen_support import VirtualScreen, absent_display
from streaming_support import ScreenHost, Session, near, running_children, shm_entries
from tavrel import tav_core

# Colours whose channels are 0 or 255 come back exact from a 16-bit screen too.
GREEN, RED, BLUE = (0, 255, 0), (255, 0, 0), (0, 0, 255)


def paint(screen):
    screen.fill(GREEN)
    screen.window(100, 50, 32, 24, RED)
    screen.window(200, 120, 64, 48, BLUE)
    return screen


@pytest.fixture(scope="module", params=[(24, True), (16, False)],
                ids=["24-bit with MIT-SHM", "16-bit without MIT-SHM"])
def any_screen(request):
    depth, shared_memory = request.param
    screen = paint(VirtualScreen(320, 240, depth=depth, shared_memory=shared_memory))
    screen.shared_memory = shared_memory
    yield screen
    screen.close()


@pytest.fixture(scope="module")
def common_screen():
    screen = paint(VirtualScreen(320, 240))
    yield screen
    screen.close()


@pytest.fixture
def display(common_screen, monkeypatch):
    """The screen the workers grab (forked workers inherit DISPLAY at the fork)."""
    monkeypatch.setenv("DISPLAY", common_screen.display)
    return common_screen


def workers():
    """Our child processes that run, other than the X servers."""
    def is_x_server(pid):
        try:
            with open(f"/proc/{pid}/comm") as f:
                return f.read().strip() == "Xvfb"
        except FileNotFoundError:
            return False

    return {pid for pid in running_children() if not is_x_server(pid)}


def segments_of(pid):
    """System V shared segments that process `pid` created (the MIT-SHM grab buffers)."""
    with open("/proc/sysvipc/shm") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return [r for r in rows if int(r[4]) == pid]


class Grabs:
    """A screenshot worker on a thread, with the server's half of the contract around it."""

    def __init__(self, x, y, width, height, block_fill=0x55):
        self.width, self.height = width, height
        self.shm_lock = tav_core._Lock()
        self.new_frame, self.keep, self.request = (tav_core._Event() for _ in range(3))
        self.keep.set()
        self.block = tav_core._Shm(width * height * 4, create=True)
        self.block.buf[:] = bytes([block_fill]) * self.block.size
        self.args = (x, y, width, height, (self.block.name, self.block.size),
                     self.shm_lock.share(), self.new_frame.share(), self.keep.share(),
                     self.request.share())
        self.thread = threading.Thread(target=tav_core._sp, args=(self.args,), daemon=True)
        self.thread.start()

    def picture(self):
        with self.shm_lock:
            data = bytes(self.block.buf)
        return np.frombuffer(data, np.uint8).reshape(self.height, self.width, 4)

    def shot(self, timeout=5.0):
        self.request.set()
        assert self.new_frame.wait(timeout), "no frame came"
        self.new_frame.clear()
        return self.picture()

    def stop(self):
        self.keep.clear()
        self.request.set()

    def ended_within(self, seconds):
        self.thread.join(seconds)
        return not self.thread.is_alive()

    def close(self):
        self.stop()
        self.thread.join(10)
        if self.block.ptr is not None:
            self.block.close()
            self.block.unlink()


@pytest.fixture
def grabs():
    made = []

    def start(*args, **kwargs):
        g = Grabs(*args, **kwargs)
        made.append(g)
        return g

    yield start
    for g in made:
        g.close()


# -- the worker's output ----------------------------------------------------------------------

REGIONS = {
    "inside": (90, 40, 64, 48),  # across the red window's corner, at an offset
    "past the bottom right": (290, 210, 64, 48),
    "past the top left": (-20, -10, 64, 48),
    "wholly off": (1000, 1000, 16, 16),
    "the whole screen": (0, 0, 320, 240),
}


def test_region_comes_as_bgra_rows_and_off_screen_parts_black(any_screen, grabs, monkeypatch):
    monkeypatch.setenv("DISPLAY", any_screen.display)
    for name, region in REGIONS.items():
        g = grabs(*region)
        got, want = g.shot(), any_screen.expected(*region)
        assert np.array_equal(got, want), name
        if name == "inside":
            # The first byte is the blue value of the screen pixel at the region's corner.
            assert tuple(got[10, 10]) == (0, 0, 255, 255) and tuple(got[0, 0]) == (0, 255, 0, 255)
            # MIT-SHM grabs go through one shared segment, gone with the worker.
            assert len(segments_of(os.getpid())) == (1 if any_screen.shared_memory else 0)
        g.close()
        assert not g.thread.is_alive()
    assert segments_of(os.getpid()) == []


def test_one_grab_per_request_and_a_stop_ends_at_once(display, grabs):
    g = grabs(100, 50, 64, 48)
    assert not g.new_frame.wait(0.3)
    assert set(g.picture().ravel()) == {0x55}  # nothing is written before a request
    g.request.set()
    g.request.set()  # one grab, or two where the worker woke between the requests (a busy host)
    assert g.new_frame.wait(5)
    g.new_frame.clear()
    if g.new_frame.wait(0.5):
        g.new_frame.clear()
    assert not g.new_frame.wait(0.5)  # and none without a request
    assert np.array_equal(g.shot(), display.expected(100, 50, 64, 48))
    with g.shm_lock:
        g.block.buf[:] = bytes(g.block.size)
    g.stop()  # clear keep, then wake: the worker ends without a further grab
    assert g.ended_within(1.5)
    assert not g.new_frame.is_set() and set(g.picture().ravel()) == {0}


def test_a_display_that_goes_away_ends_the_worker_cleanly(grabs, monkeypatch, capfd):
    screen = paint(VirtualScreen(160, 120))
    try:
        monkeypatch.setenv("DISPLAY", screen.display)
        g = grabs(0, 0, 64, 48)
        g.shot()
        screen.kill()
        g.request.set()
        assert g.ended_within(5)  # and the test process is still here
    finally:
        screen.close()
    assert "Screenshot worker failed: the connection to the display was lost" in capfd.readouterr().err
    assert g.shm_lock.acquire(False)  # the block was detached and the lock given back
    g.shm_lock.release()
    assert segments_of(os.getpid()) == []


@pytest.mark.parametrize("name", ["absent", "unset"])
def test_no_display_ends_the_worker_with_a_report(grabs, monkeypatch, capfd, name):
    if name == "absent":
        monkeypatch.setenv("DISPLAY", absent_display())
    else:
        monkeypatch.delenv("DISPLAY", raising=False)
    g = grabs(0, 0, 64, 48)
    g.request.set()
    assert g.ended_within(5)
    assert "Screenshot worker failed: cannot open the display" in capfd.readouterr().err
    assert not g.new_frame.is_set() and set(g.picture().ravel()) == {0x55}


def test_invalid_argument_tuples_are_refused(grabs):
    g = grabs(0, 0, 8, 8)
    args = g.args
    bad = {
        "short": args[:8],
        "long": args + (0,),
        "zero width": (0, 0, 0, 8) + args[4:],
        "too wide": (0, 0, 40000, 8) + args[4:],
        "block too small": (0, 0, 9, 8) + args[4:],
        "no coordinate": (float("nan"), 0, 8, 8) + args[4:],
        "share not bytes": args[:5] + ("lock",) + args[6:],
    }
    for name, value in bad.items():
        with pytest.raises(ValueError):
            tav_core._sp(value)
    with pytest.raises(ValueError, match="_sp needs its argument tuple"):
        tav_core._sp()


# -- streaming through a server ---------------------------------------------------------------

@pytest.fixture
def stream(display):
    made = []

    def make(host, mode=PUSH):
        s = Session(mode, host)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


@pytest.mark.parametrize("mode", [PUSH, PULL], ids=["push", "pull"])
def test_stream_shows_the_region_and_follows_moves_and_resizes(stream, mode):
    blocks = shm_entries()
    host = ScreenHost((100, 50), (64, 48))  # red top-left quarter, green elsewhere
    s = stream(host, mode)
    s.app.start(opaque=False)  # a screen grab has no alpha: refused, and the stream goes on
    f = s.frame_where(lambda f: near(f[6, 8], RED) and near(f[36, 48], GREEN))
    assert f.shape == (48, 64, 3) and s.app.codes.count(204) == 1
    first = s.server._screenshot_process

    host.position = (200, 120)  # exactly the blue window: the worker restarts there
    s.frame_where(lambda f: near(f[4, 4], BLUE) and near(f[44, 60], BLUE))
    moved = s.server._screenshot_process
    assert moved not in (None, first) and s.server._scrsht_pos == (200, 120)

    host.size = (96, 72)  # both workers restart at the new size
    f = s.frame_where(lambda f: f.shape == (72, 96, 3))
    f = s.frame_where(lambda f: f.shape == (72, 96, 3) and near(f[20, 30], BLUE)
                      and near(f[64, 88], GREEN))
    assert s.server._screenshot_process not in (None, first, moved)
    assert s.server._buff_size == 96 * 72 * 4

    s.app.stop()
    host.wait_for("capture_did_end")
    wait_until(lambda: not workers() and shm_entries() <= blocks, timeout=10)


def test_frames_on_request_and_a_region_partly_off_the_screen(stream):
    host = ScreenHost((290, 210), (64, 48))  # 30 x 30 of the screen, black beyond it
    s = stream(host)
    s.app.start(autosend=False)
    for _ in range(3):
        s.sock.sendall(b"\x04")
        (f,) = s.app.frames(1)
    assert near(f[15, 15], GREEN) and near(f[40, 8], (0, 0, 0)) and near(f[8, 56], (0, 0, 0))


def test_no_display_leaves_the_host_serving_without_video(stream, monkeypatch, log, capfd):
    monkeypatch.setenv("DISPLAY", absent_display())
    blocks = shm_entries()
    host = ScreenHost((0, 0), (64, 48))
    s = stream(host)
    s.app.start()
    log.wait_for("Screenshot capture failed: the display could not be opened", timeout=10)
    count = len(host.calls_of("get_capture_coords"))
    host.wait_for("get_capture_coords", count + 10)  # frames are still asked for ...
    assert len(workers()) == 1  # ... from the encoder alone: no worker is revived
    assert log.text.count("Screenshot capture failed") == 1
    # A forked worker writes on the host's stderr; a spawned one's output is logged.
    assert "Screenshot worker failed: cannot open the display" in capfd.readouterr().err + log.text
    start = time.monotonic()
    stop_and_wait(s.server, s.loop, timeout=20)
    assert time.monotonic() - start < 10 and "capture_did_end" in host.names()
    wait_until(lambda: not workers() and shm_entries() <= blocks, timeout=10)
