"""Command round trips as the app sees them, against the floor a TCP round trip sets.

The app (the reference client, in a process of its own) times ASK_CAMERA_MATRIX, and
SET_CAMERA_MATRIX followed by ASK_CAMERA_MATRIX, against three servers at once: a TavServer in
push mode, one in pull mode whose host thread drains the queue every millisecond, and a bare
loopback server that answers with the same bytes and does nothing else. The requests alternate
between the three in blocks, so a busy machine slows all of them alike.

    python bench/bench_protocol.py [requests]

run() returns rows (name, value in microseconds, baseline in microseconds, ratio, target ratio
or None).
"""

from __future__ import annotations

import contextlib
import io
import json
import socket
import struct
import subprocess
import sys
import threading
import time

MATRIX = tuple(float(i) for i in range(16))
TARGET = 2.0  # push-mode p50 within this factor of the bare round trip
BLOCK = 250
WARMUP = 300
VERSION = (1, 2, 3)


def _recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError
        data += chunk
    return data


def _bare_server():
    """A server that sends what TavServer sends for the benchmark's commands, and nothing more:
    echoes, a one-camera list, the plug-in version, a matrix."""
    listener = socket.create_server(("127.0.0.1", 0))
    matrix_reply = b"\x03" + struct.pack("<16d", *MATRIX)
    answers = {
        2: b"\x02" + struct.pack("<IH", 8, 0xFFFF) + b"Camera",
        3: matrix_reply,
        8: b"\x08" + struct.pack("<3H", *VERSION),
    }
    payloads = {52: 2, 53: 128}

    def serve():
        with listener:
            conn, _ = listener.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with conn:
            while True:
                code = conn.recv(1)
                if not code:
                    return
                if code[0] in payloads:
                    conn.sendall(code)
                    _recv_exact(conn, payloads[code[0]])
                else:
                    conn.sendall(answers[code[0]])

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def _tav_server(mode):
    from tavrel.tav_base import TavBase
    from tavrel.tav_core import TavServer

    class Host(TavBase):
        transform = MATRIX

        def get_scene_cameras(self, server):
            return ["Camera"]

        def get_camera_exists(self, server, name):
            return True

        def get_camera_transform(self, server, name):
            return self.transform

        def set_camera_transform(self, server, name, transform):
            self.transform = transform

    server = TavServer("Bench", VERSION, Host(), mode)
    assert server.start_serving(0)
    quit_ = threading.Event()

    def host_timer():
        while not quit_.is_set():
            server.execute_pending_events()
            quit_.wait(0.001)

    timer = None
    if mode == TavServer.EVENTMODE_PULL:
        timer = threading.Thread(target=host_timer, daemon=True)
        timer.start()

    def stop():
        server.stop_serving()
        deadline = time.monotonic() + 10
        while (server.is_serving or server.is_stopping or server.is_event_loop_running) and (
            time.monotonic() < deadline
        ):
            time.sleep(0.01)
        quit_.set()
        if timer:
            timer.join(5)

    return server.server_port, stop


def _client(ports: dict, kind: str, requests: int) -> dict:
    """The app's side (in the child process): latencies in seconds, per server."""
    from tavrel.app import AppClient

    apps = {name: AppClient("127.0.0.1", port, timeout=10) for name, port in ports.items()}
    for app in apps.values():
        app.scene_cameras()
        assert app.select_camera(0)

    def ask(app):
        app.camera_matrix()

    def set_and_ask(app):
        app.set_camera_matrix(MATRIX)
        app.camera_matrix()

    op = ask if kind == "ask" else set_and_ask
    for app in apps.values():
        for _ in range(WARMUP):
            op(app)
    times = {name: [] for name in apps}
    clock = time.perf_counter
    while len(times[next(iter(apps))]) < requests:
        for name, app in apps.items():
            for _ in range(BLOCK):
                start = clock()
                op(app)
                times[name].append(clock() - start)
    for app in apps.values():
        app.close()
    return times


def _percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def run(requests: int = 3000) -> list[tuple]:
    from tavrel.tav_core import TavServer

    rows = []
    with contextlib.redirect_stdout(io.StringIO()):  # the servers' log lines
        push_port, stop_push = _tav_server(TavServer.EVENTMODE_PUSH)
        pull_port, stop_pull = _tav_server(TavServer.EVENTMODE_PULL)
        try:
            for kind, label in (("ask", "ASK_CAMERA_MATRIX"),
                                ("set", "SET_CAMERA_MATRIX + ASK_CAMERA_MATRIX")):
                ports = {"bare": _bare_server(), "push": push_port, "pull": pull_port}
                child = subprocess.run(
                    [sys.executable, __file__, "--client", json.dumps(ports), kind,
                     str(requests)],
                    capture_output=True, text=True, timeout=600, check=True)
                times = json.loads(child.stdout)
                for q, qname in ((0.5, "p50"), (0.99, "p99")):
                    base = _percentile(times["bare"], q) * 1e6
                    for mode in ("push", "pull"):
                        value = _percentile(times[mode], q) * 1e6
                        target = TARGET if (mode, qname) == ("push", "p50") else None
                        rows.append((f"{label} {mode} {qname} (us)", value, base, value / base,
                                     target))
        finally:
            stop_push()
            stop_pull()
    return rows


def main(argv):
    if argv[:1] == ["--client"]:
        print(json.dumps(_client(json.loads(argv[1]), argv[2], int(argv[3]))))
        return 0
    requests = int(argv[0]) if argv else 3000
    rows = run(requests)
    print(f"{'round trip':<50} {'value':>9} {'baseline':>9} {'ratio':>7}  target")
    missed = 0
    for name, value, base, ratio, target in rows:
        verdict = ""
        if target is not None:
            ok = ratio <= target
            missed += not ok
            verdict = f"<= {target:g}x {'ok' if ok else 'MISSED'}"
        print(f"{name:<50} {value:9.1f} {base:9.1f} {ratio:6.2f}x  {verdict}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
