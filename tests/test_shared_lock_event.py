"""The lock and event the server shares with the processes it forks."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

from tavrel import tav_core


def in_clean_interpreter(source):
    """Runs a scenario in a new interpreter: forking this test process would copy the thread
    pools that other tests' libraries left behind, which a forked child cannot clean up."""
    header = textwrap.dedent("""
        import os, sys, threading, time
        from tavrel import tav_core
        sys.path.insert(0, {tests!r})
        from test_shared_lock_event import run_in_child
    """).format(tests=os.path.dirname(__file__))
    r = subprocess.run([sys.executable, "-c", header + textwrap.dedent(source)],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr


def run_in_child(fn):
    """Runs `fn` in a forked child; returns its exit status (0 when fn returned true)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if fn() else 1
        finally:
            os._exit(code)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    raise AssertionError("child did not finish")


class TestLock:
    def test_acquire_release_and_over_release(self):
        lock = tav_core._Lock()
        assert lock.acquire()
        assert not lock.acquire(False)
        start = time.monotonic()
        assert not lock.acquire(timeout=0.2)
        assert 0.15 < time.monotonic() - start < 2
        lock.release()
        with pytest.raises(ValueError, match="released too many times"):
            lock.release()
        with lock:
            assert not lock.acquire(blocking=False)
        assert lock.acquire(False)
        lock.release()

    def test_shared_with_a_forked_child(self):
        in_clean_interpreter("""
        lock = tav_core._Lock()
        share = lock.share()
        assert isinstance(share, bytes)
        lock.acquire()

        def child():
            mine = tav_core._Lock(share)
            if mine.acquire(False):
                return False
            mine.release()  # a semaphore has no owner: the child may free it
            return True

        assert run_in_child(child) == 0
        assert lock.acquire(False)
        lock.release()
        """)

    def test_malformed_share_description(self):
        with pytest.raises(ValueError):
            tav_core._Lock(b"garbage")
        forged = bytearray(tav_core._Lock().share())
        forged[4:12] = (1 << 40).to_bytes(8, "little")
        with pytest.raises(ValueError):
            tav_core._Lock(bytes(forged))


class TestEvent:
    def test_state_changes(self):
        e = tav_core._Event()
        assert not e.is_set() and e.wait(0) is False
        e.set()
        e.set()
        assert e.wait() is True and e.is_set()
        e.clear()
        assert not e.is_set()
        start = time.monotonic()
        assert e.wait(0.5) is False
        assert 0.4 < time.monotonic() - start < 2

    def test_set_wakes_a_waiter_in_another_process(self):
        in_clean_interpreter("""
        e = tav_core._Event()
        ready = tav_core._Event()
        share, ready_share = e.share(), ready.share()

        def child():
            mine = tav_core._Event(share)
            tav_core._Event(ready_share).set()
            start = time.monotonic()
            return mine.wait(10) and time.monotonic() - start < 5 and mine.is_set()

        pid_status = []
        t = threading.Thread(target=lambda: pid_status.append(run_in_child(child)))
        t.start()
        assert ready.wait(10)
        e.set()
        t.join(20)
        assert pid_status == [0]
        """)

    def test_state_is_shared(self):
        in_clean_interpreter("""
        e = tav_core._Event()
        e.set()
        share = e.share()
        assert run_in_child(lambda: tav_core._Event(share).is_set()) == 0
        e.clear()
        assert run_in_child(lambda: not tav_core._Event(share).is_set()) == 0
        """)

    def test_share_description_must_have_three_parts(self):
        with pytest.raises(ValueError):
            tav_core._Event((b"x", b"y"))
