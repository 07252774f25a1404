"""Streaming when things go wrong: a host process that dies, a worker that hangs while it holds
the connection."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import PullLoop, TavServer, stop_and_wait, wait_until
from streaming_support import (FrameHost, Session, VideoApp, children, running_children,
                               shm_entries)

# The script's Host served to its own app: camera 0 selected, a stream started (with autosend
# when AUTOSEND is true), workers launched as the test run's are. It stands where a script says
# "# APP_PRELUDE".
APP_PRELUDE = textwrap.dedent("""
    import os as _os
    _launch = _os.environ.get("TAVREL_TEST_WORKER_LAUNCH")
    server = tav_core.TavServer("Blender", (1, 2, 3), Host(), 0,
                                **({"worker_launch": _launch} if _launch else {}))
    server.start_serving(0)
    app = socket.create_connection(("127.0.0.1", server.server_port), timeout=5)
    def read(n):
        data = b""
        while len(data) < n:
            chunk = app.recv(n - len(data))
            if not chunk:
                raise ConnectionError("the server closed the connection")
            data += chunk
        return data
    app.sendall(b"\\x02"); read(5 + 2 + len("Camera"))
    app.sendall(b"\\x34"); read(1); app.sendall(b"\\x00\\x00")
    app.sendall(b"\\x96"); read(1); app.sendall(struct.pack("<ffHBB", 30, 2, 0, 1, AUTOSEND))
""")


def with_app(script):
    return textwrap.dedent(script).replace("# APP_PRELUDE\n", APP_PRELUDE.lstrip("\n"))


HOST_SCRIPT = with_app("""
    import os, signal, socket, struct, sys, time
    from tavrel import tav_core
    from tavrel.tav_base import TavBase

    class Host(TavBase):
        def get_scene_cameras(self, server): return ["Camera"]
        def get_camera_exists(self, server, name): return name == "Camera"
        def capture_will_start(self, server):
            server.set_capture_mode(server.CAPMODE_BUFFER, server.CAPFORMAT_UBYTE_RGBA)
            server.set_capture_resolution(64, 48)
        def get_capture_buffer(self, server, name): return bytes(64 * 48 * 4)

    AUTOSEND = sys.argv[1] != "dead-worker"  # frames would replace a dead worker
    # APP_PRELUDE
    while server._encoding_process is None:
        time.sleep(0.01)
    worker = server._encoding_process
    print("worker", worker, flush=True)
    if sys.argv[1] == "dead-worker":
        os.kill(worker, signal.SIGKILL)
        while open(f"/proc/{worker}/stat").read().rsplit(")", 1)[1].split()[0] != "Z":
            time.sleep(0.01)
        if sys.argv[2] == "sigterm-handled":  # a host whose SIGTERM ends its interpreter
            signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
        print("ready", flush=True)
        sys.stdin.readline()  # until the test says how to end
    elif sys.argv[1] == "stay":
        time.sleep(60)
""")


def start_host(*args):
    """A host process streaming to its own app; returns it once it printed its worker's pid."""
    host = subprocess.Popen([sys.executable, "-c", HOST_SCRIPT, *args], stdout=subprocess.PIPE,
                            stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = ""
        while not line.startswith("worker"):
            line = host.stdout.readline()
            assert line, "the host ended early"
    except BaseException:
        host.kill()
        host.wait(10)
        raise
    host.worker = int(line.split()[1])
    return host


def state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


STARVED_HOST_SCRIPT = with_app("""
    import resource, socket, struct, sys, time
    from tavrel import tav_core
    from tavrel.tav_base import TavBase

    def data_size():
        for line in open("/proc/self/status"):
            if line.startswith("VmData:"):
                return int(line.split()[1]) * 1024

    class Host(TavBase):
        def get_scene_cameras(self, server): return ["Camera"]
        def get_camera_exists(self, server, name): return name == "Camera"
        def capture_will_start(self, server):
            server.set_capture_mode(server.CAPMODE_BUFFER, server.CAPFORMAT_UBYTE_RGBA)
            server.set_capture_resolution(720, 720)
            # The forked worker inherits the limit: too little room for an encoder's buffers.
            limit = data_size() + 8 * 2**20
            resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.RLIM_INFINITY))
        def get_capture_buffer(self, server, name): return bytes(720 * 720 * 4)

    AUTOSEND = False
    # APP_PRELUDE
    app.settimeout(0.25)
    codes, end = [], time.monotonic() + 3.5
    while time.monotonic() < end:  # frame requests for a while: a failed worker is not restarted
        app.sendall(b"\\x04")
        try:
            codes.append(app.recv(1)[0])
        except socket.timeout:
            pass
    print("codes", *codes, flush=True)
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator cannot run under a tight data limit")
def test_a_worker_that_cannot_build_its_encoder_is_reported_once_and_not_restarted():
    r = subprocess.run([sys.executable, "-c", STARVED_HOST_SCRIPT], capture_output=True,
                       text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("codes")[1].split() == ["202"]
    # A forked worker writes on the host's stderr; a spawned one's output is logged at its stop.
    assert (r.stdout + r.stderr).count("Encoder worker failed") == 1, r.stderr


def test_workers_end_soon_after_the_host_process_dies():
    host = start_host("stay")
    try:
        worker = host.worker
        assert state(worker) not in (None, "Z")
        host.kill()
        host.wait(10)
        start = time.monotonic()
        wait_until(lambda: state(worker) in (None, "Z"), timeout=5)
        assert time.monotonic() - start < 4  # about a second; slack for a loaded machine
    finally:
        host.kill()
        host.wait(10)
    wait_until(lambda: not shm_entries(host.pid))  # the worker removed the block the host left


def test_host_exits_normally_while_streaming():
    host = start_host("exit")
    try:
        assert host.wait(30) == 0 and host.stderr.read() == ""
    finally:
        host.kill()
        host.wait(10)
    wait_until(lambda: state(host.worker) in (None, "Z"), timeout=5)
    wait_until(lambda: not shm_entries(host.pid), timeout=5)


@pytest.mark.parametrize("ending", ["exit", "sigterm-handled", "sigterm", "sigkill"])
def test_a_host_that_ends_without_a_live_worker_leaves_no_frame_block(ending):
    # The worker, which removes the block of a host that died, is dead itself.
    host = start_host("dead-worker", ending)
    live = None
    try:
        assert host.stdout.readline() == "ready\n" and len(shm_entries(host.pid)) == 1
        if ending.startswith("sigterm"):
            host.terminate()
        elif ending == "sigkill":
            host.kill()
        else:
            host.stdin.write("end\n")
            host.stdin.flush()
        host.wait(20)
        if ending in ("exit", "sigterm-handled"):  # the interpreter's exit removes it
            assert not shm_entries(host.pid)
            return
        assert len(shm_entries(host.pid)) == 1  # nothing ran in the host: the next server
        live = start_host("stay")
        wait_until(lambda: shm_entries(live.pid))
        server = TavServer("Blender", (1, 2, 3), FrameHost(), TavServer.EVENTMODE_PUSH)
        assert server.start_serving(0)
        stop_and_wait(server)
        assert not shm_entries(host.pid)
        assert len(shm_entries(live.pid)) == 1  # a running host's block is never touched
    finally:
        for h in (host, live):
            if h is not None:
                h.kill()
                h.wait(10)


def test_a_worker_that_hangs_holding_the_connection_is_killed_and_its_lock_taken_back(mode):
    host = FrameHost(width=720, height=720)
    host.frame = lambda n: os.urandom(720 * 720 * 4)  # incompressible: packets fill the socket
    s = Session.__new__(Session)
    s.host = host
    s.server = TavServer("Blender", (1, 2, 3), host, mode)
    s.server.start_serving(0)
    s.loop = PullLoop(s.server) if mode == TavServer.EVENTMODE_PULL else None
    s.sock = socket.socket()
    s.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sock.connect(("127.0.0.1", s.server.server_port))
    s.app = VideoApp(s.sock)
    s.select_camera()
    s.app.start(mbps=50.0)
    (worker,) = wait_until(running_children)
    # The app reads nothing more: the worker blocks in a send, holding the connection's lock.
    time.sleep(1.0)
    os.kill(worker, signal.SIGSTOP)
    start = time.monotonic()
    stop_and_wait(s.server, s.loop, timeout=30)
    assert time.monotonic() - start < 20
    assert worker not in children()
    assert s.server.start_serving(0)  # the listening socket was closed under the lock
    stop_and_wait(s.server, s.loop, timeout=10)
    s.sock.close()
    if s.loop:
        s.loop.close()


def test_stop_while_a_start_waits_for_a_host_that_does_not_drain():
    host = FrameHost()
    server = TavServer("Blender", (1, 2, 3), host, TavServer.EVENTMODE_PULL)
    server.start_serving(0)
    loop = PullLoop(server)
    s = Session.__new__(Session)
    s.host, s.server, s.loop = host, server, loop
    s.sock = socket.create_connection(("127.0.0.1", server.server_port))
    s.app = VideoApp(s.sock)
    s.select_camera()
    loop.close()  # the host stops draining its queue
    s.app.start()
    server.stop_serving()
    wait_until(lambda: not server.is_serving and not server.is_stopping, timeout=10)
    while server.is_event_loop_running:  # the host drains late: the start finds no app
        server.execute_pending_events()
    assert not server.is_capturing and not running_children()
    s.sock.close()


def test_a_stream_asked_for_while_the_server_stops_is_not_started():
    # The stop waits for a worker that does not answer; an app that asks for a new stream
    # meanwhile must not get one that the stop then tears down under it.
    blocks = shm_entries()
    host = FrameHost()
    s = Session(TavServer.EVENTMODE_PUSH, host)
    s.app.start(autosend=False)
    worker = wait_until(lambda: s.server._encoding_process)
    os.kill(worker, signal.SIGSTOP)
    wait_until(lambda: state(worker) == "T")
    s.server.stop_serving()
    wait_until(lambda: not s.server.is_capturing)
    s.app.start(autosend=True)
    host.wait_for("server_did_stop", timeout=20)
    assert len(host.calls_of("capture_will_start")) == 1
    assert len(host.calls_of("capture_did_end")) == 1
    assert not s.server.is_capturing and not s.server._is_encoding
    wait_until(lambda: not running_children() and shm_entries() <= blocks, timeout=20)
    s.sock.close()


def test_a_server_stop_while_the_host_sets_a_stream_up_ends_that_stream():
    # The host's main thread is still inside capture_will_start when another of its threads
    # stops the server: the stop must end the stream that the start then sets up.
    blocks = shm_entries()
    proceed = threading.Event()

    class SlowStart(FrameHost):
        def capture_will_start(self, server):
            super().capture_will_start(server)
            proceed.wait(10)

    host = SlowStart()
    s = Session(TavServer.EVENTMODE_PULL, host)
    s.app.start(autosend=True)
    host.wait_for("capture_will_start")
    s.server.stop_serving()
    try:
        wait_until(lambda: not s.server.is_connected, timeout=1.0)
    except AssertionError:
        pass  # the stop waits for the start
    proceed.set()
    wait_until(lambda: not s.server.is_serving and not s.server.is_stopping, timeout=20)
    wait_until(lambda: not s.server.is_event_loop_running, timeout=20)
    assert not s.server.is_capturing and len(host.calls_of("capture_did_end")) == 1
    assert s.loop.errors == []
    wait_until(lambda: not running_children() and shm_entries() <= blocks, timeout=20)
    s.sock.close()
    s.loop.close()


def test_a_terminal_interrupt_leaves_the_worker_and_the_stream_alone(mode):
    s = Session(mode, FrameHost())
    try:
        s.app.start()
        s.app.frames(2)
        (worker,) = running_children()
        os.kill(worker, signal.SIGINT)  # as a Ctrl-C reaches the whole process group
        s.app.frames(5)  # every packet still decodes: nothing was written into the stream
        assert running_children() == {worker}
    finally:
        s.close()


def test_stop_completes_when_the_frame_block_name_is_already_gone(mode):
    blocks = shm_entries()
    s = Session(mode, FrameHost())
    try:
        s.app.start()
        s.app.frames(1)
        for path in shm_entries() - blocks:
            os.unlink(path)  # someone cleans /dev/shm under a running stream
        s.app.stop()
        s.host.wait_for("capture_did_end")
        assert s.server.capture_mode is None and not s.server.is_capturing
    finally:
        s.close()
