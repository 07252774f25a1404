"""Real Blender with the add-on (software OpenGL on a virtual screen): the frame rate of a
buffer-mode stream with the time the add-on's frame getter takes per frame, and command round
trips against the same commands served by the demo host in pull mode.

    python bench/bench_blender.py [seconds]

run() returns rows (name, value, baseline, ratio, target or None); none without blender.
"""

from __future__ import annotations

import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

REQUESTS = 300


def _round_trips(port, requests=REQUESTS):
    """{kind: sorted seconds}: ASK_CAMERA_MATRIX alone, and after a SET_CAMERA_MATRIX (a move,
    which Blender follows with a 3D view redraw)."""
    from tavrel.app import AppClient

    with AppClient("127.0.0.1", port, timeout=30) as app:
        app.scene_cameras()
        assert app.select_camera(0)
        matrix = app.camera_matrix()
        times = {"ASK": [], "SET+ASK": []}
        for kind, n in (("ASK", requests), ("SET+ASK", requests // 5)):
            for _ in range(n):
                started = time.perf_counter()
                if kind != "ASK":
                    app.set_camera_matrix(matrix)
                app.camera_matrix()
                times[kind].append(time.perf_counter() - started)
    return {kind: sorted(t) for kind, t in times.items()}


def _demo_round_trips():
    from tavrel.demo import Host

    host = Host(pull=True)
    assert host.server.start_serving(0)
    stop = threading.Event()

    def timer():
        while not stop.is_set():
            host.tick()

    thread = threading.Thread(target=timer, daemon=True)
    thread.start()
    try:
        return _round_trips(host.server.server_port)
    finally:
        stop.set()
        thread.join(5)
        host.stop()


def _stream(blender, port, seconds):
    from tavrel.app import AppClient

    with AppClient("127.0.0.1", port, timeout=60) as app:
        app.scene_cameras()
        assert app.select_camera(0)
        app.start_streaming(fps=30.0, mbps=4.0, autosend=True)
        app.read_video_packet(timeout=60)  # the first frame compiles the shaders
        blender.run("from tavrel.blender import ui; c = ui.service.capture; "
                    "c.frames, c.busy_seconds = 0, 0.0")
        started, packets = time.monotonic(), 0
        while time.monotonic() - started < seconds:
            try:
                app.read_video_packet(timeout=1.0)
                packets += 1
            except TimeoutError:
                pass
        elapsed = time.monotonic() - started
        frames, busy = blender.run("result = (c.frames, c.busy_seconds)")
        app.stop_streaming()
        app.sync()
    return packets / elapsed, busy / max(frames, 1)


def run(seconds: float = 8.0) -> list[tuple]:
    from blender_support import Blender, blender_missing

    if blender_missing():
        return []
    ms = 1e3
    blender = Blender()
    try:
        fps, getter = _stream(blender, blender.port, seconds)
        in_blender = _round_trips(blender.port)
    finally:
        blender.run("bpy.ops.wm.quit_blender()")
        blender.proc.wait(60)
        blender.kill()
    demo = _demo_round_trips()
    rows = [("Blender buffer-mode stream (fps)", fps, 1 / getter, fps * getter, None),
            ("  its frame getter per frame (ms; baseline: its fps)", getter * ms, fps,
             getter * fps, None)]
    for kind in ("ASK", "SET+ASK"):
        for q, name in ((0.5, "p50"), (0.99, "p99")):
            a = in_blender[kind][min(len(in_blender[kind]) - 1, int(q * len(in_blender[kind])))]
            b = demo[kind][min(len(demo[kind]) - 1, int(q * len(demo[kind])))]
            rows.append((f"{kind}_CAMERA_MATRIX Blender vs demo host, {name} (ms)", a * ms,
                         b * ms, a / b, None))
    return rows


if __name__ == "__main__":
    for row in run(float(sys.argv[1]) if len(sys.argv) > 1 else 8.0):
        name, value, base, ratio, _ = row
        print(f"{name:<56} {value:9.2f} {base:9.2f} {ratio:7.2f}")
