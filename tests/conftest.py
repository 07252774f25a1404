"""Shared fixtures: a recording host, servers in push and pull mode, and deadline-based waits.

`pytest --worker-launch=spawn` (or fork) runs the suite with servers whose workers start that way
unless a test says otherwise; the host scripts that tests run as processes of their own follow
TAVREL_TEST_WORKER_LAUNCH, which the option sets."""

import os
import socket
import struct
import threading
import time
import traceback

import pytest

from tavrel import tav_core
from tavrel.app import AppClient
from tavrel.tav_base import TavBase

NativeTavServer = tav_core.TavServer  # the module's own, whatever --worker-launch says


def pytest_addoption(parser):
    parser.addoption("--worker-launch", choices=["fork", "spawn"], default=None,
                     help="how the servers of the tests start their workers (default: the "
                          "platform's)")


def pytest_configure(config):
    launch = config.getoption("--worker-launch")
    if launch is None:
        return
    os.environ["TAVREL_TEST_WORKER_LAUNCH"] = launch

    class LaunchingServer(tav_core.TavServer):
        def __init__(self, *args, worker_launch=launch, **kwargs):
            super().__init__(*args, worker_launch=worker_launch, **kwargs)

    LaunchingServer.__name__ = LaunchingServer.__qualname__ = "TavServer"
    tav_core.TavServer = LaunchingServer
    globals()["TavServer"] = LaunchingServer


# Left out where the suite runs inside a Windows Python: tests whose subject exists on Linux
# only. Keys are test files or node ids (a prefix of the test's name, parameters left off).
WINDOWS_LEFT_OUT = {
    "test_blender.py": "Debian's Blender, a Linux program",
    "test_screenshot.py": "the X11 screen grab on a virtual X screen",
    "test_network.py": "network namespaces with a shaped link",
    "test_wheel.py": "the Linux wheels",
    "test_windows_native.py": "cross-builds and runs Wine from Linux",
    "test_shared_memory.py": "the POSIX block's names, modes and unlinking, /proc/self/maps",
    "test_admission.py::test_waiting_apps_past_the_limit": "the kernel's table /proc/net/tcp",
    "test_shared_lock_event.py::TestLock::test_shared_with": "fork",
    "test_shared_lock_event.py::TestLock::test_malformed": "a share made for a forked child",
    "test_shared_lock_event.py::TestEvent::test_set_wakes": "fork",
    "test_shared_lock_event.py::TestEvent::test_state_is_shared": "fork",
    "test_demo.py::test_simulator_command": "Ctrl-C as SIGINT ends --serve",
    "test_demo.py::test_ctrl_c": "Ctrl-C as SIGINT",
    "test_demo.py::test_allow_serves": "Ctrl-C as SIGINT ends --serve",
    "test_encoder_worker.py::test_failure_to_attach": "the core's C runtime writes its reports on "
                                                      "a standard error capfd cannot redirect",
    "test_qr.py::test_png_cut_short": "a file size limit (RLIMIT_FSIZE, SIGXFSZ)",
    "test_streaming_faults.py::test_a_worker_that_cannot_build": "an address space limit",
    "test_streaming_faults.py::test_workers_end_soon": "a host killed by SIGKILL, /proc",
    "test_streaming_faults.py::test_a_host_that_ends": "a host ended by POSIX signals",
    "test_streaming_faults.py::test_a_worker_that_hangs": "a worker stopped by SIGSTOP",
    "test_streaming_faults.py::test_a_stream_asked_for": "a worker stopped by SIGSTOP",
    "test_streaming_faults.py::test_a_terminal_interrupt": "a terminal's SIGINT",
    "test_streaming_faults.py::test_stop_completes_when": "a block's name removed while mapped",
    "test_worker_processes.py::test_a_spawned_worker_runs": "/proc/PID/fd and /proc/net/tcp",
    "test_worker_processes.py::test_a_wrong_python_executable_is_reported_once_and_the_app_hears"
    "_err_ffmpeg[not-this-module]": "a shell script as the interpreter",
    "test_worker_processes.py::test_guess_python_executable[blender]": "a Linux layout",
    "test_worker_processes.py::test_guess_python_executable[application": "a Linux layout",
}


# Whole files are not even imported (some load Linux libraries as they are); tests are skipped.
collect_ignore = [key for key in WINDOWS_LEFT_OUT if "::" not in key] if os.name == "nt" else []


def pytest_report_header(config):
    if os.name == "nt":
        return [f"left out on Windows: {key} ({why})" for key, why in WINDOWS_LEFT_OUT.items()]


def pytest_collection_modifyitems(config, items):
    if os.name != "nt":
        return
    for item in items:
        file, _, name = item.nodeid.partition("::")
        test = f"{file.rsplit('/', 1)[-1]}::{name}"
        reason = next((r for key, r in WINDOWS_LEFT_OUT.items() if test.startswith(key)), None)
        if reason:
            item.add_marker(pytest.mark.skip(reason=f"Linux only: {reason}"))


def repeats(n):
    """How many runs a repeated case makes: an eighth inside Windows' Python under Wine, where
    each (a session, an interpreter's start) is several times slower."""
    return n if os.name != "nt" else max(1, n // 8)


TavServer = tav_core.TavServer
PUSH, PULL = TavServer.EVENTMODE_PUSH, TavServer.EVENTMODE_PULL
SESSION_EVENTS = {"client_connected", "client_disconnected", "current_camera_changed",
                  "server_did_stop"}


def wait_until(predicate, timeout=5.0, interval=0.005):
    """Polls `predicate` until it is true; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(interval)


class RecordingHost(TavBase):
    """A host that records every call (name, arguments, thread) and answers from attributes."""

    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()
        self.cameras = ["Camera", "Camera.001"]
        self.transform = tuple(float(i) for i in range(16))
        self.focal_length = 50.0
        self.playback_state = (1.0, 250.0, 12.0)
        self.fps = 24.0
        self.has_keys = (True, False)
        self.labels = ["Script A", "Script B"]
        self.script_result = True
        self.new_camera = "Camera.002"
        self.fail = {}  # operation name -> exception to raise

    def _record(self, name, *args):
        with self.lock:
            self.calls.append((name, args, threading.current_thread().name))
        error = self.fail.get(name)
        if error is not None:
            raise error

    def names(self):
        with self.lock:
            return [c[0] for c in self.calls]

    def take(self, session=False):
        """The calls (name, args, thread) since the last take, without the session events unless
        `session` is true."""
        with self.lock:
            new = self.calls[getattr(self, "_taken", 0):]
            self._taken = len(self.calls)
        return [c for c in new if session or c[0] not in SESSION_EVENTS]

    def calls_of(self, name):
        with self.lock:
            return [c[1] for c in self.calls if c[0] == name]

    def wait_for(self, name, count=1, timeout=5.0):
        return wait_until(lambda: len(self.calls_of(name)) >= count, timeout)

    def client_connected(self, server, ip, port):
        self._record("client_connected", ip, port)

    def client_disconnected(self, server):
        self._record("client_disconnected")

    def current_camera_changed(self, server, name):
        self._record("current_camera_changed", name)

    def server_did_stop(self, server):
        self._record("server_did_stop")

    def get_playback_state(self, server):
        self._record("get_playback_state")
        return self.playback_state

    def get_playback_fps(self, server):
        self._record("get_playback_fps")
        return self.fps

    def get_scene_cameras(self, server):
        self._record("get_scene_cameras")
        return self.cameras

    def get_camera_exists(self, server, name):
        self._record("get_camera_exists", name)
        return name in self.cameras

    def get_camera_has_keys(self, server, name):
        self._record("get_camera_has_keys", name)
        return self.has_keys

    def get_camera_focal_length(self, server, name):
        self._record("get_camera_focal_length", name)
        return self.focal_length

    def get_camera_transform(self, server, name):
        self._record("get_camera_transform", name)
        return self.transform

    def get_script_labels(self, server):
        self._record("get_script_labels")
        return self.labels

    def set_frame(self, server, frame):
        self._record("set_frame", frame)

    def set_playback_range(self, server, start, end):
        self._record("set_playback_range", start, end)

    def set_camera_transform(self, server, name, transform):
        self._record("set_camera_transform", name, transform)

    def set_camera_focal_length(self, server, name, focal_length):
        self._record("set_camera_focal_length", name, focal_length)

    def set_camera_transform_keys(self, server, name, keyframes, values):
        self._record("set_camera_transform_keys", name, keyframes, values)

    def set_camera_flen_keys(self, server, name, keyframes, values):
        self._record("set_camera_flen_keys", name, keyframes, values)

    def remove_camera_keys(self, server, name):
        self._record("remove_camera_keys", name)

    def create_new_camera(self, server):
        self._record("create_new_camera")
        if self.new_camera is not None:
            self.cameras = self.cameras + [self.new_camera]
        return self.new_camera

    def look_through_camera(self, server, name):
        self._record("look_through_camera", name)

    def start_playback(self, server, flag):
        self._record("start_playback", flag)

    def stop_playback(self, server):
        self._record("stop_playback")

    def execute_script(self, server, index, name):
        self._record("execute_script", index, name)
        return self.script_result


@pytest.fixture(autouse=True, scope="session")
def server_reports_on_stderr():
    """The server reports errors on its threads through threading.excepthook, where the test
    runner would turn them into warnings. Here they go where a host without a hook of its own sees
    them, the default hook's print on stderr, which the tests read; errors of other threads stay
    the runner's."""
    runner_hook = threading.excepthook

    def hook(args):
        if args.thread is not None and args.thread.name.startswith("tavrel-"):
            threading.__excepthook__(args)
        else:
            runner_hook(args)

    threading.excepthook = hook
    yield
    threading.excepthook = runner_hook


class PullLoop:
    """The host's main-thread timer in pull mode: drains the queue every millisecond."""

    def __init__(self, server, interval=0.001):
        self.server = server
        self.errors = []
        self.returned = time.monotonic()  # when the last drain returned
        self.longest = 0.0  # the longest drain, in seconds
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(interval,), daemon=True,
                                        name="host-main")
        self._thread.start()

    def _run(self, interval):
        while not self._stop.is_set():
            start = time.monotonic()
            try:
                self.server.execute_pending_events()
            except Exception as e:  # the host's timer sees delivered errors
                self.errors.append(e)
            self.returned = time.monotonic()
            self.longest = max(self.longest, self.returned - start)
            self._stop.wait(interval)

    def close(self):
        self._stop.set()
        self._thread.join(5)


def stop_and_wait(server, loop=None, timeout=10.0):
    server.stop_serving()
    wait_until(lambda: not server.is_serving and not server.is_stopping, timeout)
    if loop is not None:
        wait_until(lambda: not server.is_event_loop_running, timeout)


@pytest.fixture
def host():
    return RecordingHost()


@pytest.fixture(params=["push", "pull"])
def serving(request, host):
    """A serving server (push and pull mode) with its host; stopped at the end of the test."""
    mode = TavServer.EVENTMODE_PUSH if request.param == "push" else TavServer.EVENTMODE_PULL
    server = TavServer("Blender", (1, 2, 3), host, mode)
    assert server.start_serving(0)
    loop = PullLoop(server) if mode == TavServer.EVENTMODE_PULL else None
    yield server
    if server.is_serving:
        stop_and_wait(server, loop)
    if loop is not None:
        loop.close()


def connect(server, timeout=5.0, source=None):
    """A raw app connection to the server, from the loopback address `source` if given (an app
    from the served app's own address takes its place)."""
    s = socket.create_connection(("127.0.0.1", server.server_port), timeout=timeout,
                                 source_address=(source, 0) if source else None)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError(f"stream ended after {len(data)} of {n} bytes")
        data += chunk
    return data


class LogCapture:
    """Stands in for sys.stdout (where the server's log lines go) and keeps every line."""

    def __init__(self):
        self._lock = threading.Lock()
        self._text = []

    def write(self, text):
        with self._lock:
            self._text.append(text)
        return len(text)

    def flush(self):
        pass

    @property
    def text(self):
        with self._lock:
            return "".join(self._text)

    def wait_for(self, fragment, count=1, timeout=5.0):
        return wait_until(lambda: self.text.count(fragment) >= count, timeout)


@pytest.fixture
def log(monkeypatch):
    """The server's log lines from the start of the test body on (see pytest_runtest_call)."""
    capture = LogCapture()
    capture.install = lambda: monkeypatch.setattr("sys.stdout", capture)
    return capture


@pytest.hookimpl(hookwrapper=True, trylast=True)
def pytest_runtest_call(item):
    # Output capturing re-installs its own sys.stdout when the test body starts, after the
    # fixtures ran; the log capture goes in on top of it.
    capture = item.funcargs.get("log")
    if capture is not None:
        capture.install()
    yield


class Host(TavBase):
    """A host that keeps TavBase's harmless defaults."""


@pytest.fixture
def server():
    """Factory of TavServer objects; every server made is stopped at the end of the test."""
    made = []

    def make(tavbase=None, event_mode=TavServer.EVENTMODE_PUSH, **kwargs):
        srv = TavServer("Test", (1, 0, 0), tavbase or Host(), event_mode, **kwargs)
        made.append(srv)
        return srv

    yield make
    for srv in made:
        srv.stop_serving()
        wait_until(lambda: not (srv.is_serving or srv.is_stopping or srv.is_starting), 10)


# -- servers in both modes, driven by the reference app client --------------------------------

@pytest.fixture(params=[PUSH, PULL], ids=["push", "pull"])
def mode(request):
    return request.param


class Served:
    """A serving TavServer with its host and, in pull mode, the host's timer."""

    def __init__(self, host, mode, platform="Blender", plugin_version=(1, 2, 3), **kwargs):
        self.host, self.mode, self.plugin_version = host, mode, plugin_version
        self.server = TavServer(platform, plugin_version, host, mode, **kwargs)
        assert self.server.start_serving(0)
        self.port = self.server.server_port
        self.loop = PullLoop(self.server) if mode == PULL else None

    @property
    def errors(self):
        """The errors execute_pending_events raised (pull mode)."""
        return self.loop.errors if self.loop else []

    def app(self, timeout=5.0):
        """A connected reference app; returns once the host has seen client_connected."""
        count = len(self.host.calls_of("client_connected"))
        client = AppClient("127.0.0.1", self.port, timeout=timeout)
        self.host.wait_for("client_connected", count + 1)
        return client

    def raw(self):
        """A raw connection; returns once the host has seen client_connected."""
        count = len(self.host.calls_of("client_connected"))
        sock = connect(self.server)
        self.host.wait_for("client_connected", count + 1)
        return sock

    def barrier_reply(self):
        return b"\x08" + struct.pack("<3H", *self.plugin_version)

    def reply(self, sock, request, size):
        """Sends `request` followed by ASK_PLUGIN_VERSION and returns the `size` bytes that come
        before the plug-in version reply: exactly what the server answered to `request`."""
        sock.sendall(request + b"\x08")
        data = recv_exact(sock, size + 7)
        assert data[size:] == self.barrier_reply(), f"unexpected answer {data!r}"
        return data[:size]

    def stop(self, timeout=5.0):
        stop_and_wait(self.server, self.loop, timeout)
        if self.loop:
            self.loop.close()


@pytest.fixture
def make_server(mode):
    """make_server(host=None, **constructor arguments) -> a Served in the test's mode."""
    started = []

    def make(host=None, **kwargs):
        s = Served(host if host is not None else RecordingHost(), kwargs.pop("mode", mode),
                   **kwargs)
        started.append(s)
        return s

    yield make
    for s in started:
        if s.server.is_serving:
            s.stop()
        elif s.loop:
            s.loop.close()


@pytest.fixture
def served(make_server):
    return make_server()


def select_camera(served, sock, index=0):
    """Lists the scene cameras and selects one, leaving the host's record empty."""
    sock.sendall(b"\x02")
    recv_exact(sock, struct.unpack_from("<I", recv_exact(sock, 5), 1)[0])
    sock.sendall(b"\x34")
    assert recv_exact(sock, 1) == b"\x34"
    sock.sendall(struct.pack("<H", index))
    assert served.reply(sock, b"", 0) == b""
    served.host.take()


def handler_errors(served, capfd):
    """What the server reported about failed handlers so far, as text: its report on stderr in
    push mode, the errors execute_pending_events raised in pull mode, as printed with their
    tracebacks."""
    if served.mode == PULL:
        text = "".join("".join(traceback.format_exception(type(e), e, e.__traceback__)) for e in served.loop.errors)
        served.loop.errors.clear()
        return text
    return capfd.readouterr().err
