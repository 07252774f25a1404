"""Phones on a real network, in a private network namespace whose loopback answers 127.0.0.1 to
127.0.0.3: a phone at 127.0.0.3 is served, comes back on a new connection while its old one is
still open (it takes over), and then vanishes while idle (its address is blackholed: packets to it
disappear without a reset, as when it leaves the Wi-Fi); meanwhile a second phone at 127.0.0.2
waits. Per cycle it measures the takeover (the new connection's first answer) and the time from
the blackhole until the second phone is served, and records what the server's process holds
afterwards. Prints one JSON object, as the last line (the server's log lines come before).

With --stream the phone vanishes while the viewport streams to it: the data it no longer
acknowledges ends the session (the stream's worker and frame block go with it).

    python vanishing_phone.py [--pull] [--cycles N] [--stream]    # in a namespace: run_isolated
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from conftest import PullLoop, TavServer, recv_exact, wait_until  # noqa: E402
from streaming_support import (FrameHost, Session, VideoApp, children,  # noqa: E402
                               descriptor_count, shm_entries, thread_count, wait_until_gone)

PHONE, OTHER = "127.0.0.3", "127.0.0.2"
ISOLATE = "ip link set lo up && exec \"$@\""


def run_isolated(argv, timeout):
    """Runs `argv` in a private network namespace; the completed process, output as text."""
    return subprocess.run(["unshare", "-n", "sh", "-c", ISOLATE, "sh", *argv],
                          capture_output=True, text=True, timeout=timeout)


def unavailable():
    """Why no private network namespace with blackholes can be made here, or None."""
    try:
        r = run_isolated(["ip", "route", "add", "blackhole", PHONE, "table", "local"], 30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"no network namespace: {e}"
    return f"no private network namespace ({r.stderr.strip()})" if r.returncode else None


def blackhole(on):
    subprocess.run(["ip", "route", "add" if on else "del", "blackhole", PHONE, "table", "local"],
                   check=True)


def resources():
    """What this process holds: threads, descriptors, worker processes, frame blocks."""
    return {"threads": thread_count(), "descriptors": descriptor_count(),
            "workers": len(children()),
            "blocks": len(shm_entries())}


def connect_from(ip, port):
    return socket.create_connection(("127.0.0.1", port), timeout=60, source_address=(ip, 0))


def answered(sock):
    """Asks the plug-in version and waits for the answer."""
    sock.sendall(b"\x08")
    return recv_exact(sock, 7)[:1] == b"\x08"


def cycle(server, host, stream):
    port = server.server_port
    phone = connect_from(PHONE, port)
    assert answered(phone)
    start = time.monotonic()
    back = connect_from(PHONE, port)  # the same phone after a network blip
    assert answered(back)
    takeover = time.monotonic() - start
    assert phone.recv(1) == b""  # the old connection was closed
    if stream:  # it vanishes while the viewport streams to it instead
        Session.select_camera(argparse.Namespace(sock=back, host=host))
        app = VideoApp(back)
        app.start()
        app.frames(2)
    other = connect_from(OTHER, port)
    other.sendall(b"\x08")
    disconnected = len(host.calls_of("client_disconnected"))
    blackhole(True)
    start = time.monotonic()
    try:
        assert recv_exact(other, 7)[:1] == b"\x08"
        noticed = time.monotonic() - start
        host.wait_for("client_disconnected", disconnected + 1)
    finally:
        blackhole(False)
    for s in (other, back, phone):
        s.close()
    wait_until(lambda: not server.is_connected, 10)
    wait_until_gone(set())  # the stream's worker and frame block
    return takeover, noticed


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--pull", action="store_true")
    p.add_argument("--cycles", type=int, default=1)
    p.add_argument("--stream", action="store_true",
                   help="the phone vanishes while the viewport streams to it, not idle")
    args = p.parse_args()
    host = FrameHost()
    mode = TavServer.EVENTMODE_PULL if args.pull else TavServer.EVENTMODE_PUSH
    server = TavServer("Test", (1, 0, 0), host, mode)
    assert server.start_serving(0)
    loop = PullLoop(server) if args.pull else None
    results = {"takeover": [], "noticed": [], "resources": []}
    try:
        for _ in range(args.cycles):
            takeover, noticed = cycle(server, host, args.stream)
            results["takeover"].append(takeover)
            results["noticed"].append(noticed)
            results["resources"].append(resources())
    finally:
        server.stop_serving()
        wait_until(lambda: not (server.is_serving or server.is_stopping), 10)
        if loop:
            wait_until(lambda: not server.is_event_loop_running, 10)
            loop.close()
    results["events"] = sorted(set(host.names()))
    print(json.dumps(results))


if __name__ == "__main__":
    main()
