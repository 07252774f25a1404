"""Screenshot mode on Windows: top-most windows of known colours, the host's viewport region
grabbed through GDI by a spawned screenshot worker, streamed and decoded. (Under Wine the windows
need an X screen to be drawn on: scripts/windows/suite.sh gives it a virtual one.)"""

import ctypes
import os
import threading

import pytest

from conftest import PULL, PUSH
from streaming_support import ScreenHost, Session, near

pytestmark = pytest.mark.skipif(os.name != "nt", reason="GDI, Windows' own screen grab")

RED, BLUE = (255, 0, 0), (0, 0, 255)
WINDOWS = [((100, 50, 64, 48), RED), ((200, 120, 64, 48), BLUE)]


class PaintedWindows:
    """Borderless top-most windows, each filled with its colour, made on a thread of their own
    that serves their messages (a window's messages go to the thread that made it)."""

    def __init__(self, windows):
        from ctypes import wintypes
        self.w = wintypes
        self.user32 = ctypes.WinDLL("user32", use_last_error=True)
        self.thread_id = None
        self.error = None
        ready = threading.Event()
        self.thread = threading.Thread(target=self._serve, args=(windows, ready), daemon=True)
        self.thread.start()
        assert ready.wait(30) and self.error is None, self.error

    def _serve(self, windows, ready):
        w, user32 = self.w, self.user32
        gdi32 = ctypes.WinDLL("gdi32")
        kernel32 = ctypes.WinDLL("kernel32")
        proc_type = ctypes.WINFUNCTYPE(ctypes.c_ssize_t, w.HWND, w.UINT, w.WPARAM, w.LPARAM)
        user32.DefWindowProcW.argtypes = [w.HWND, w.UINT, w.WPARAM, w.LPARAM]
        user32.DefWindowProcW.restype = ctypes.c_ssize_t
        user32.CreateWindowExW.restype = w.HWND
        user32.CreateWindowExW.argtypes = [w.DWORD, w.LPCWSTR, w.LPCWSTR, w.DWORD, ctypes.c_int,
                                           ctypes.c_int, ctypes.c_int, ctypes.c_int, w.HWND,
                                           w.HMENU, w.HINSTANCE, w.LPVOID]
        gdi32.CreateSolidBrush.restype = w.HBRUSH

        class WNDCLASSW(ctypes.Structure):
            _fields_ = [("style", w.UINT), ("lpfnWndProc", proc_type), ("cbClsExtra", ctypes.c_int),
                        ("cbWndExtra", ctypes.c_int), ("hInstance", w.HINSTANCE),
                        ("hIcon", w.HICON), ("hCursor", w.HANDLE), ("hbrBackground", w.HBRUSH),
                        ("lpszMenuName", w.LPCWSTR), ("lpszClassName", w.LPCWSTR)]

        # Kept beyond the windows: the system calls it until the last of them is gone.
        self._proc = proc = proc_type(lambda *a: user32.DefWindowProcW(*a))
        instance = kernel32.GetModuleHandleW(None)
        made = []
        self.thread_id = kernel32.GetCurrentThreadId()
        for i, ((x, y, width, height), (r, g, b)) in enumerate(windows):
            name = f"tavrel-test-{os.getpid()}-{i}"
            wc = WNDCLASSW(lpfnWndProc=proc, hInstance=instance, lpszClassName=name,
                           hbrBackground=gdi32.CreateSolidBrush(r | g << 8 | b << 16))
            window = (user32.RegisterClassW(ctypes.byref(wc)) and user32.CreateWindowExW(
                0x8, name, "", 0x80000000 | 0x10000000, x, y, width, height, None, None,
                instance, None))  # top-most; a visible popup
            if not window:
                self.error = f"no window: error {ctypes.get_last_error()}"
                ready.set()
                return
            user32.UpdateWindow(window)
            made.append(window)
        ready.set()
        msg = w.MSG()
        while user32.GetMessageW(ctypes.byref(msg), None, 0, 0) > 0:
            user32.TranslateMessage(ctypes.byref(msg))
            user32.DispatchMessageW(ctypes.byref(msg))
        for window in made:
            user32.DestroyWindow(window)

    def close(self):
        self.user32.PostThreadMessageW(self.thread_id, 0x12, 0, 0)  # WM_QUIT
        self.thread.join(10)


@pytest.fixture(scope="module")
def windows():
    painted = PaintedWindows(WINDOWS)
    yield painted
    painted.close()


@pytest.mark.parametrize("mode", [PUSH, PULL], ids=["push", "pull"])
def test_stream_shows_a_window_and_follows_a_move(windows, mode):
    host = ScreenHost((100, 50), (64, 48))
    s = Session(mode, host)
    try:
        s.app.start()
        s.frame_where(lambda f: near(f[4, 4], RED) and near(f[44, 60], RED), timeout=60)
        first = s.server._screenshot_process
        host.position = (200, 120)  # the worker restarts there
        s.frame_where(lambda f: near(f[4, 4], BLUE) and near(f[44, 60], BLUE), timeout=60)
        assert s.server._screenshot_process not in (None, first)
        s.app.stop()
        host.wait_for("capture_did_end")
    finally:
        s.close()
