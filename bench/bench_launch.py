"""Spawned workers against forked ones, same run: how long a stream start takes to its first video
packet, and the frame path (an app's frame request to its packet) once the workers run.

A spawned worker is a new interpreter that imports the module before it can encode; a forked one
is a copy of the host. Once running, both use the same frame block, locks and packet channel, so
the frame path should not differ. Medians of alternating rounds, since the machine is shared.

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python bench/bench_launch.py [rounds]
"""

import socket
import statistics
import struct
import sys
import time

from tavrel import tav_core
from tavrel.tav_base import TavBase

WIDTH, HEIGHT = 1280, 720
FRAMES = 40  # frame requests timed per round


class Host(TavBase):
    def get_scene_cameras(self, server):
        return ["Camera"]

    def get_camera_exists(self, server, name):
        return name == "Camera"

    def capture_will_start(self, server):
        server.set_capture_mode(server.CAPMODE_BUFFER, server.CAPFORMAT_UBYTE_RGBA)
        server.set_capture_resolution(WIDTH, HEIGHT)

    def get_capture_buffer(self, server, name):
        return FRAME


FRAME = bytes(range(256)) * (WIDTH * HEIGHT * 4 // 256)


def recv_exact(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise EOFError("the server closed the connection")
        data += chunk
    return bytes(data)


def next_packet(sock):
    """Reads messages up to the next video packet."""
    while True:
        code = recv_exact(sock, 1)[0]
        if code == 4:
            recv_exact(sock, struct.unpack("<I", recv_exact(sock, 4))[0])
            return


def session(launch):
    """Seconds from the start request to the first packet, and per frame request afterwards."""
    server = tav_core.TavServer("Bench", (1, 0, 0), Host(), 0, worker_launch=launch)
    server.start_serving(0)
    app = socket.create_connection(("127.0.0.1", server.server_port), timeout=30)
    app.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        app.sendall(b"\x02")
        recv_exact(app, struct.unpack("<I", recv_exact(app, 5)[1:])[0])
        app.sendall(b"\x34")
        recv_exact(app, 1)
        app.sendall(struct.pack("<H", 0))
        app.sendall(b"\x96")
        recv_exact(app, 1)
        started = time.perf_counter()
        app.sendall(struct.pack("<ffHBB", 30, 2, 0, 1, 0))
        app.sendall(b"\x04")
        next_packet(app)
        first = time.perf_counter() - started
        path = []
        for _ in range(FRAMES):
            t = time.perf_counter()
            app.sendall(b"\x04")
            next_packet(app)
            path.append(time.perf_counter() - t)
        return first, statistics.median(path)
    finally:
        app.close()
        stop(server)


def stop(server):
    server.stop_serving()
    deadline = time.monotonic() + 20
    while (server.is_serving or server.is_stopping) and time.monotonic() < deadline:
        time.sleep(0.01)


def run(rounds=5):
    results = {"fork": [], "spawn": []}
    for _ in range(rounds):
        for launch in results:
            results[launch].append(session(launch))
    first = {k: statistics.median(r[0] for r in v) for k, v in results.items()}
    path = {k: statistics.median(r[1] for r in v) for k, v in results.items()}
    return [
        ("spawn: stream start to first packet ms", 1000 * first["spawn"], 1000 * first["fork"],
         first["spawn"] / first["fork"], "reported (fork is the baseline)"),
        ("spawn: frame request to packet ms", 1000 * path["spawn"], 1000 * path["fork"],
         path["spawn"] / path["fork"], "<= 1.2"),
    ]  # fmt: skip


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    rows = run(rounds)
    print(f"{rounds} rounds, {WIDTH}x{HEIGHT} rgba frames, {FRAMES} frame requests a round")
    print(f"{'name':40} {'value':>10} {'fork':>10} {'ratio':>8}  target")
    for name, value, baseline, ratio, target in rows:
        print(f"{name:40} {value:10.2f} {baseline:10.2f} {ratio:8.2f}  {target}")


if __name__ == "__main__":
    main()
