"""Waiting for, killing and describing worker processes."""

import os
import subprocess
import sys
import time

from conftest import RecordingHost, TavServer


def server():
    return TavServer("Blender", (1, 2, 3), RecordingHost(), TavServer.EVENTMODE_PUSH)


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


def test_environment_for_spawned_workers():
    env = server()._get_environment()
    assert env["PYTHONPATH"] == "".join(p + os.pathsep for p in sys.path)
    assert env["PATH"] == os.environ["PATH"]


def test_guess_python_executable():
    path = server()._guess_python_executable()
    assert os.path.isfile(path) and os.path.basename(path).startswith("python")
