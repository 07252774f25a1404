"""The module inside the official Windows CPython 3.11 under Wine (the cp311 wheel,
scripts/windows/python.sh) against this machine's Linux build, same figures, same run:

- reply round trip of a host query (the scene's cameras) from a raw app socket, p50 and p99, in
  push mode and in pull mode (the host's timer drains every millisecond);
- a spawned worker's start: the stream start request to its first video packet;
- the frame path once the worker runs: frame requests answered per second (1280x720 RGBA).

Wine stands in for Windows here: its scheduler, its Winsock over Linux sockets, and what it lacks
(`SIO_TCP_INFO`, `TCP_MAXRTMS`: the rate controller knows nothing of the link there) make these
figures a floor for the Windows build's correctness, not a measure of Windows' speed.

    .venv/bin/python bench/bench_windows.py [rounds]
"""

import json
import os
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

QUERIES = 300


def round_trips(mode):
    """Seconds from sending the camera list query to its whole reply, QUERIES times."""
    import bench_launch
    from bench_launch import recv_exact
    from tavrel import tav_core

    server = tav_core.TavServer("Bench", (1, 0, 0), bench_launch.Host(), mode)
    server.start_serving(0)
    stop = threading.Event()
    timer = None
    if mode == tav_core.TavServer.EVENTMODE_PULL:
        def drain():
            while not stop.wait(0.001):
                server.execute_pending_events()
        timer = threading.Thread(target=drain, daemon=True)
        timer.start()
    app = socket.create_connection(("127.0.0.1", server.server_port), timeout=30)
    app.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    samples = []
    try:
        for _ in range(QUERIES):
            t = time.perf_counter()
            app.sendall(b"\x02")
            recv_exact(app, struct.unpack("<I", recv_exact(app, 5)[1:])[0])
            samples.append(time.perf_counter() - t)
    finally:
        app.close()
        bench_launch.stop(server)
        stop.set()
        if timer:
            timer.join(5)
    return samples


def figures(rounds):
    """This interpreter's figures, in milliseconds and frames per second."""
    import contextlib
    import io

    import bench_launch
    from common import percentile
    from tavrel import tav_core

    out = {}
    with contextlib.redirect_stdout(io.StringIO()):
        for name, mode in (("push", tav_core.TavServer.EVENTMODE_PUSH),
                           ("pull", tav_core.TavServer.EVENTMODE_PULL)):
            samples = round_trips(mode)
            out[f"{name} reply round trip p50 ms"] = 1000 * percentile(samples, 0.5)
            out[f"{name} reply round trip p99 ms"] = 1000 * percentile(samples, 0.99)
        sessions = [bench_launch.session("spawn") for _ in range(rounds)]
    starts = [1000 * first for first, _ in sessions]
    fps = [1 / path for _, path in sessions]
    out["spawned worker start to first packet ms"] = statistics.median(starts)
    out["spawned worker start spread ms"] = max(starts) - min(starts)
    out["frame path frames per second"] = statistics.median(fps)
    out["frame path spread fps"] = max(fps) - min(fps)
    return out


def wine_figures(rounds):
    run = subprocess.run([os.path.join(ROOT, "scripts", "windows", "python.sh"), "3.11",
                          "--time-limit", "600", os.path.join(HERE, "bench_windows.py"),
                          "--figures", str(rounds)], capture_output=True, text=True, cwd=ROOT)
    lines = [line for line in run.stdout.splitlines() if line.startswith("{")]
    if run.returncode != 0 or not lines:
        sys.exit(f"the Windows run failed:\n{run.stdout}{run.stderr}")
    return json.loads(lines[-1])


def run(rounds=3):
    """Rows for bench/run_all.py: each figure under Wine, the Linux build's as its baseline."""
    from common import Row

    linux, wine = figures(rounds), wine_figures(rounds)
    return [Row(f"wine: {name}", value, linux[name], "", "reported (Linux is the baseline)")
            for name, value in wine.items()]


def main(argv):
    if argv[:1] == ["--figures"]:
        print(json.dumps(figures(int(argv[1]))))
        return
    rounds = int(argv[0]) if argv else 5
    linux = figures(rounds)
    wine = wine_figures(rounds)
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    print(f"Windows CPython 3.11 under {version} against Linux CPython {sys.version.split()[0]}; "
          f"{QUERIES} queries a mode, {rounds} stream starts (median, spread max - min)")
    print(f"{'figure':44} {'Wine':>10} {'Linux':>10} {'ratio':>8}")
    for name, value in wine.items():
        print(f"{name:44} {value:10.2f} {linux[name]:10.2f} "
              f"{value / linux[name] if linux[name] else float('inf'):8.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
