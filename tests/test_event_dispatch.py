"""Where host operations run: push mode on server threads or the main-thread function, pull mode
from the host's own timer, and what a failing host operation does."""

import struct
import threading

import pytest

from conftest import (PullLoop, RecordingHost, TavServer, connect, recv_exact, stop_and_wait,
                      wait_until)

PUSH, PULL = TavServer.EVENTMODE_PUSH, TavServer.EVENTMODE_PULL


def test_push_runs_on_the_network_thread_before_the_first_command(host):
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s.start_serving(0)
    app = connect(s)
    app.sendall(b"\x05")
    host.wait_for("get_playback_fps")
    assert host.names()[:2] == ["client_connected", "get_playback_fps"]
    assert host.calls[0][2] != threading.current_thread().name
    app.close()
    stop_and_wait(s)


def test_push_through_main_thread_func(host):
    seen = []

    def main_thread_func(wrap, callback, *args):
        seen.append((wrap, callback))
        wrap(callback, *args)

    s = TavServer("Blender", (1, 2, 3), host, PUSH, main_thread_func)
    s.start_serving(0)
    app = connect(s)
    host.wait_for("client_connected")
    wrap, callback = next(w for w in seen if w[1] == host.client_connected)
    assert wrap.__self__ is s and wrap.__func__ is TavServer._callback_except_wrap
    assert callback == host.client_connected
    app.close()
    stop_and_wait(s)


def test_callback_except_wrap_passes_errors_on():
    s = TavServer("Blender", (1, 2, 3), RecordingHost(), PUSH)

    def boom(x):
        raise KeyError(x)

    with pytest.raises(KeyError):
        s._callback_except_wrap(boom, 1)


def drain_startup(server, log):
    """Runs the network thread's first delivery, its "Listening on TCP port" line."""

    def listened():
        server.execute_pending_events()
        return "Listening on TCP port" in log.text

    wait_until(listened)


def test_pull_queue_back_pressure_and_three_per_call(host, log):
    s = TavServer("Blender", (1, 2, 3), host, PULL)
    s.execute_pending_events()  # no queue before the first start: nothing happens
    assert not s.is_event_loop_running
    s.start_serving(0)
    ran = []
    drain_startup(s, log)
    for i in range(3):
        s._async_callback(ran.append, i)
    fourth = threading.Thread(target=s._async_callback, args=(ran.append, 3), daemon=True)
    fourth.start()
    fourth.join(0.2)
    assert fourth.is_alive()  # waits for space
    s.execute_pending_events()
    fourth.join(5)
    assert not fourth.is_alive() and ran == [0, 1, 2]
    s.execute_pending_events()
    assert ran == [0, 1, 2, 3]
    s.stop_serving()
    wait_until(lambda: not s.is_stopping)
    assert s.is_event_loop_running  # "Stopped serving" and server_did_stop still to come

    def host_loop_ended():  # a host drains while the loop runs
        s.execute_pending_events()
        return not s.is_event_loop_running

    wait_until(host_loop_ended)
    assert host.names() == ["server_did_stop"]


def test_pull_error_reaches_the_timer_and_the_queue_goes_on(host, log):
    s = TavServer("Blender", (1, 2, 3), host, PULL)
    s.start_serving(0)
    drain_startup(s, log)
    ran = []

    def fail():
        raise ValueError("host says no")

    s._async_callback(fail)
    s._async_callback(ran.append, "next")
    with pytest.raises(ValueError, match="host says no"):
        s.execute_pending_events()
    s.execute_pending_events()
    assert ran == ["next"]
    loop = PullLoop(s)
    stop_and_wait(s, loop)
    loop.close()


def test_push_host_error_is_reported_and_the_session_serves_on(host, capfd):
    host.fail["get_playback_fps"] = RuntimeError("fps unavailable")
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s.start_serving(0)
    app = connect(s)
    # The report is printed on the network thread before it reads the next command: once the
    # plug-in version is answered it is there, read at once (reading the capture while a thread
    # writes to it can lose what is written, as seen under Wine).
    app.sendall(b"\x05\x08")
    assert recv_exact(app, 7) == b"\x08" + struct.pack("<3H", 1, 2, 3)
    err = capfd.readouterr().err
    assert "fps unavailable" in err and "Traceback" in err
    host.fail.clear()
    app.sendall(b"\x05")
    assert app.recv(9)[:1] == b"\x05"
    app.close()
    stop_and_wait(s)


def test_reports_of_server_threads_reach_threading_excepthook(host, capfd, monkeypatch):
    seen = []
    monkeypatch.setattr(threading, "excepthook", seen.append)
    host.fail["get_playback_fps"] = RuntimeError("fps unavailable")
    host.fail["server_did_stop"] = RuntimeError("stop hook failed")
    s = TavServer("Blender", (1, 2, 3), host, PUSH)
    s.start_serving(0)
    app = connect(s)
    app.sendall(b"\x05")
    wait_until(lambda: seen)
    app.close()
    stop_and_wait(s)
    wait_until(lambda: len(seen) == 2)
    assert [(a.thread.name, a.exc_type, str(a.exc_value)) for a in seen] == [
        ("tavrel-network", RuntimeError, "fps unavailable"),
        ("tavrel-stop", RuntimeError, "stop hook failed")]
    # With the host's own traceback, and nothing written past the hook.
    assert all(a.exc_traceback is a.exc_value.__traceback__ is not None for a in seen)
    assert "Exception" not in capfd.readouterr().err
