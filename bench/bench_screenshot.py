"""Screenshot capture cost: one request to the screenshot worker (grab an 800x600 region of a
virtual X screen and copy it into the frame block as B, G, R, A) against a plain memcpy of the same
1,920,000 bytes, same run.

The worker runs in-process through `_sp`; each round trip is: set the request event, wait for the
new-frame event, clear it, so the figure includes the event signalling a real frame pays. Grabs go
through MIT-SHM, and, as a second figure, over the X connection (the server started without the
extension: the fallback for remote displays).

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python bench/bench_screenshot.py [frames]
"""

import os
import sys
import threading

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from common import Row, per_call, print_table  # noqa: E402
from screen_support import VirtualScreen  # noqa: E402
from tavrel import tav_core  # noqa: E402

WIDTH, HEIGHT = 800, 600
TARGET_SHM = 8.0  # grab + copy + signalling within this many plain copies of the frame
TARGET_PLAIN = 20.0


def memcpy_seconds(n):
    src = np.random.default_rng(1).integers(0, 256, WIDTH * HEIGHT * 4, np.uint8)
    dst = np.empty_like(src)
    return per_call(lambda: np.copyto(dst, src), n)


def grab_seconds(shared_memory, n):
    screen = VirtualScreen(1024, 768, shared_memory=shared_memory)
    saved = os.environ.get("DISPLAY")
    os.environ["DISPLAY"] = screen.display
    try:
        screen.fill((30, 120, 200))
        screen.window(100, 50, 400, 300, (250, 240, 20))
        shm_lock = tav_core._Lock()
        new_frame, keep, request = (tav_core._Event() for _ in range(3))
        keep.set()
        block = tav_core._Shm(WIDTH * HEIGHT * 4, create=True)
        args = (50, 40, WIDTH, HEIGHT, (block.name, block.size), shm_lock.share(),
                new_frame.share(), keep.share(), request.share())
        worker = threading.Thread(target=tav_core._sp, args=(args,), daemon=True)
        worker.start()

        def one():
            request.set()
            if not new_frame.wait(5):
                raise RuntimeError("the screenshot worker did not answer")
            new_frame.clear()

        one()
        seconds = per_call(one, n)
        keep.clear()
        request.set()
        worker.join(10)
        block.close()
        block.unlink()
        return seconds
    finally:
        if saved is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = saved
        screen.close()


def run(frames=200):
    copy = memcpy_seconds(frames)
    rows = [Row("screenshot 800x600 grab+copy, MIT-SHM (vs memcpy)", grab_seconds(True, frames)
                * 1e3, copy * 1e3, "ms", f"<= {TARGET_SHM:g}")]
    rows.append(Row("screenshot 800x600 grab+copy, no MIT-SHM (vs memcpy)",
                    grab_seconds(False, frames) * 1e3, copy * 1e3, "ms", f"<= {TARGET_PLAIN:g}"))
    return rows


if __name__ == "__main__":
    print_table(run(int(sys.argv[1]) if len(sys.argv) > 1 else 200))
