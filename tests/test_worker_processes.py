"""Starting, waiting for, killing and describing worker processes."""

import os
import stat
import subprocess
import sys
import time

import pytest

from conftest import PUSH, NativeTavServer, RecordingHost, TavServer
from streaming_support import FrameHost, Session, children


def server(**kwargs):
    return TavServer("Blender", (1, 2, 3), RecordingHost(), PUSH, **kwargs)


def test_wait_and_kill():
    s = server()
    quick = subprocess.Popen([sys.executable, "-c", "pass"])
    # Popen would reap it itself; watch it through the server instead.
    start = time.monotonic()
    assert s._wait_forked_process(quick.pid, 10)
    assert time.monotonic() - start < 5
    slow = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    start = time.monotonic()
    assert s._wait_forked_process(slow.pid, 0.3) is False
    assert 0.25 < time.monotonic() - start < 3
    s._kill_forked_process(slow.pid)
    assert s._wait_forked_process(slow.pid, 5)
    s._kill_forked_process(slow.pid)  # gone already: no error
    quick.returncode = slow.returncode = 0  # reaped above


@pytest.mark.parametrize("separator", [os.pathsep, ";"])
def test_environment_for_spawned_workers(monkeypatch, separator):
    s = server()
    monkeypatch.setattr(os, "pathsep", separator)  # ";": Windows' rule
    monkeypatch.setattr(sys, "path", ["A", "B"])
    env = s._get_environment()
    assert env["PYTHONPATH"] == f"A{separator}B{separator}"
    assert env["PATH"] == os.environ["PATH"]


def test_worker_launch_argument():
    default = NativeTavServer("Blender", (1, 2, 3), RecordingHost(), PUSH)
    if sys.platform.startswith("linux"):
        assert default.worker_launch == "fork" and default.python_executable is None
    else:
        assert default.worker_launch == "spawn" and os.path.isfile(default.python_executable)
    spawning = server(worker_launch="spawn")
    assert spawning.worker_launch == "spawn" and os.path.isfile(spawning.python_executable)
    # Only spawned workers run an interpreter: a forked server reports none, even when given one.
    assert server(worker_launch="spawn", python_executable="/opt/py").python_executable == "/opt/py"
    assert server(worker_launch="fork", python_executable="/opt/py").python_executable is None
    for wrong in ("Fork", "", "thread", 1, b"spawn"):
        with pytest.raises(ValueError, match="'fork' or 'spawn'"):
            server(worker_launch=wrong)
    with pytest.raises(TypeError, match="Expected str, got bytes"):
        server(python_executable=b"/usr/bin/python3")
    with pytest.raises(TypeError):  # keyword only: the six positions stay as they were
        TavServer("Blender", (1, 2, 3), RecordingHost(), PUSH, None, None, "spawn")
    with pytest.raises(AttributeError):
        default.worker_launch = "spawn"


def fd_targets(pid):
    out = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            out[int(fd)] = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:  # closed meanwhile
            pass
    return out


def listening_socket(port):
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if int(fields[1].split(":")[1], 16) == port and fields[3] == "0A":
                return f"socket:[{fields[9]}]"


def test_a_spawned_worker_runs_the_given_interpreter_with_only_what_it_was_handed(tmp_path):
    # A descriptor a careless host leaves inheritable must not reach the worker.
    leaked = os.open(tmp_path / "host-file", os.O_CREAT | os.O_WRONLY)
    os.set_inheritable(leaked, True)
    s = Session(PUSH, FrameHost(), worker_launch="spawn", python_executable=sys.executable)
    try:
        s.app.start()
        s.app.frames(2)
        worker = s.server._encoding_process
        assert os.path.realpath(f"/proc/{worker}/exe") == os.path.realpath(sys.executable)
        assert os.getpgid(worker) == worker  # a terminal's Ctrl-C is the host's alone
        theirs = fd_targets(worker)
        assert theirs[0].startswith("pipe:") and theirs[1] == theirs[2] != theirs[0]
        # The packet channel, then the locks' memory (and pipes, where a lock is one).
        assert theirs[3].startswith("socket:") and theirs[3] != listening_socket(
            s.server.server_port)
        rest = [theirs[fd] for fd in sorted(theirs) if fd > 3]  # the worker's own copies too
        assert not any(t.startswith("socket:") and t != theirs[3] or
                       t == str(tmp_path / "host-file") for t in rest), theirs
    finally:
        os.close(leaked)
        s.close()
    assert not children()


@pytest.mark.parametrize("interpreter", ["missing", "not-this-module"])
def test_a_wrong_python_executable_is_reported_once_and_the_app_hears_err_ffmpeg(
        tmp_path, log, interpreter):
    python = tmp_path / "python3"
    if interpreter == "not-this-module":
        python.write_text("#!/bin/sh\necho \"ModuleNotFoundError: No module named 'tavrel'\" >&2\n"
                          "exit 1\n")
        python.chmod(python.stat().st_mode | stat.S_IXUSR)
    s = Session(PUSH, FrameHost(), worker_launch="spawn", python_executable=str(python))
    try:
        s.app.start()
        s.app.read_until(lambda: 202 in s.app.codes)
        time.sleep(1.5)  # a worker restarted after its failure would fail again
        s.sock.sendall(b"\x04")
        s.app.stop()
        s.app.read_until(lambda: 151 in s.app.codes)
        assert s.app.codes.count(202) == 1
        assert log.text.count(f"could not start with python_executable '{python}'") == 1, log.text
        if interpreter == "not-this-module":
            assert "Tavrel: ModuleNotFoundError: No module named 'tavrel'" in log.text
    finally:
        s.close()
    assert not children()


# The host's layout: sys.executable, the directory of the os module, sys.exec_prefix, the files
# that exist (relative to the fake root), and what the guess must be.
VERSION = f"{sys.version_info.major}.{sys.version_info.minor}"
LAYOUTS = {
    "plain python": ("usr/bin/python" + VERSION, "usr/lib/python" + VERSION, "usr",
                     ["usr/bin/python" + VERSION, "usr/bin/python3"], "usr/bin/python" + VERSION),
    "virtual environment": ("venv/bin/python", "usr/lib/python" + VERSION, "venv",
                            ["venv/bin/python", "usr/bin/python" + VERSION], "venv/bin/python"),
    "blender": ("blender/blender", f"blender/4.2/python/lib/python{VERSION}", "blender/4.2/python",
                ["blender/blender", "blender/4.2/python/bin/python3",
                 f"blender/4.2/python/bin/python{VERSION}"],
                f"blender/4.2/python/bin/python{VERSION}"),
    "application with its python beside the library": (
        "app/bin/app", "app/python/lib", "app",
        ["app/bin/app", "app/python/python3", "app/bin/python"], "app/python/python3"),
    "no interpreter to be found": ("app/app", "app/lib/python", "app", ["app/app"], "app/app"),
    # Windows: python.exe, no version in the name, the library in Lib.
    "windows python": ("Python311/python.exe", "Python311/Lib", "Python311",
                       ["Python311/python.exe"], "Python311/python.exe"),
    "windows blender": ("Blender/blender.exe", "Blender/4.2/python/Lib", "Blender/4.2/python",
                        ["Blender/blender.exe", "Blender/4.2/python/bin/python.exe",
                         "Blender/4.2/python/bin/python"],
                        "Blender/4.2/python/bin/python.exe"),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_guess_python_executable(tmp_path, monkeypatch, layout):
    executable, os_dir, prefix, files, expected = LAYOUTS[layout]
    if layout.startswith("windows"):
        monkeypatch.setattr(sys, "platform", "win32")
    for f in files:
        (tmp_path / f).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / f).write_text("")
    monkeypatch.setattr(sys, "executable", str(tmp_path / executable))
    monkeypatch.setattr(os, "__file__", str(tmp_path / os_dir / "os.py"))
    monkeypatch.setattr(sys, "exec_prefix", str(tmp_path / prefix))
    monkeypatch.setattr(sys, "base_exec_prefix", str(tmp_path / prefix))
    assert server()._guess_python_executable() == str(tmp_path / expected)
