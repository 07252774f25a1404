"""Constructing a server, reading its state, and serving through the start/stop cycle."""

import socket
import struct
import threading

import pytest

from conftest import (NativeTavServer, PullLoop, RecordingHost, TavServer, connect, recv_exact,
                      stop_and_wait, wait_until)
from tavrel.tav_base import TavBase

PUSH, PULL = TavServer.EVENTMODE_PUSH, TavServer.EVENTMODE_PULL


class TestConstruction:
    def test_version_line_and_defaults(self, capfd):
        # The module's own class: with --worker-launch=spawn the suite's would guess an interpreter.
        s = NativeTavServer("Blender", (1, 2, 3), TavBase(), PUSH)
        assert capfd.readouterr().out == (
            "Tavrel: Blender plug-in version 1.2.3 | Server version 2.1.2\n")
        assert (s.platform, s.plugin_version, s.event_mode) == ("Blender", (1, 2, 3), PUSH)
        assert s.current_camera == "" and s.server_port is None and s.client_ip is None
        assert not any([s.is_starting, s.is_stopping, s.is_serving, s.is_connected,
                        s.is_capturing, s.use_vflip, s.is_event_loop_running])
        assert s.capture_mode is s.capture_format is s.capture_width is s.capture_height is None
        assert (s.python_executable is None) == (s.worker_launch == "fork")
        assert s.main_thread_func is None
        assert s._CMD_ASK_SERVER_INFO == b"\x00" and s._CMD_ERR_NO_ALPHA == b"\xcc"
        assert TavServer.SERVER_VERSION == (2, 1, 2) and s._QUEUE_MAX_SIZE == 3

    @pytest.mark.parametrize("args, message", [
        (("Elevenchars", (1, 2, 3), TavBase(), PUSH),
         "'platform' must be a string of 10 characters max."),
        ((b"Blender", (1, 2, 3), TavBase(), PUSH),
         "'platform' must be a string of 10 characters max."),
        (("Blender", (1, 2), TavBase(), PUSH),
         "'plugin_version' must be a tupple with 3 integers (major, minor, patch)"),
        (("Blender", (1, 2, "3"), TavBase(), PUSH),
         "'plugin_version' must be a tupple with 3 integers (major, minor, patch)"),
        (("Blender", [1, 2, 3], TavBase(), PUSH),
         "'plugin_version' must be a tupple with 3 integers (major, minor, patch)"),
        (("Blender", (1, 2, 3), TavBase(), 2),
         "'event_mode' must be one of TavServer.EVENTMODE_PUSH or TavServer.EVENTMODE_PULL"),
        (("Blender", (1, 2, 3), object(), PUSH),
         "'tavbase' must be an instance of an TavBase subclass"),
        ((None, (1, 2, 3), TavBase(), PUSH), "'platform' must be a string of 10 characters max."),
        (("Blender", None, TavBase(), PUSH),
         "'plugin_version' must be a tupple with 3 integers (major, minor, patch)"),
        (("Blender", (1, 2, 3), None, PUSH),
         "'tavbase' must be an instance of an TavBase subclass"),
        (("Blender", (1, 2, 3), TavBase(), None),
         "'event_mode' must be one of TavServer.EVENTMODE_PUSH or TavServer.EVENTMODE_PULL"),
    ])
    def test_invalid_arguments(self, args, message):
        with pytest.raises(ValueError) as e:
            TavServer(*args)
        assert str(e.value) == message

    def test_accepted_edge_values(self):
        s = TavServer("TenChars10", (1, True, 0), RecordingHost(), PULL, main_thread_func=None)
        assert s.platform == "TenChars10" and s.event_mode == PULL

    def test_tuple_subtype_refused_with_type_error(self):
        class Version(tuple):
            pass

        with pytest.raises(TypeError, match="Expected tuple, got Version"):
            TavServer("Blender", Version((1, 2, 3)), TavBase(), PUSH)

    def test_argument_count(self):
        with pytest.raises(TypeError):
            TavServer("Blender", (1, 2, 3), TavBase())
        with pytest.raises(TypeError):
            TavServer("Blender", (1, 2, 3), TavBase(), PUSH, None, None, None)

    def test_properties_are_read_only(self):
        s = TavServer("Blender", (1, 2, 3), TavBase(), PUSH)
        for name in ["is_event_loop_running", "platform", "plugin_version", "event_mode",
                     "tavbase", "main_thread_func", "current_camera", "capture_mode",
                     "capture_format", "capture_width", "capture_height", "use_vflip",
                     "is_starting", "is_stopping", "is_serving", "is_connected", "is_capturing",
                     "server_port", "client_ip", "client_port", "python_executable"]:
            with pytest.raises(AttributeError):
                setattr(s, name, None)


class TestServingCycle:
    def test_start_twice_stop_and_serve_again(self, host, log):
        s = TavServer("Blender", (1, 2, 3), host, PUSH)
        assert s.start_serving(0)
        port = s.server_port
        assert port > 0 and s.is_serving and s._is_event_loop_running
        assert not s.start_serving(0) and s.server_port == port
        log.wait_for(f"Tavrel: Listening on TCP port {port}")
        stop_and_wait(s)
        host.wait_for("server_did_stop")
        log.wait_for("Stopped serving")
        out = log.text
        assert f"Tavrel: Listening on TCP port {port}" in out
        assert out.rstrip().endswith("Tavrel: Stopped serving")
        assert host.names() == ["server_did_stop"]  # the wake connection is no session
        assert not s._is_event_loop_running and s.server_port == port
        assert s.start_serving(port)
        stop_and_wait(s)

    def test_busy_port_is_a_logged_false(self, host, capfd):
        blocker = socket.socket()
        blocker.bind(("0.0.0.0", 0))
        blocker.listen(1)
        port = blocker.getsockname()[1]
        try:
            s = TavServer("Blender", (1, 2, 3), host, PUSH)
            capfd.readouterr()
            assert s.start_serving(port) is False
            assert capfd.readouterr().out == (
                f"Tavrel: Can't start server. TCP port {port} already in use.\n")
            assert not (s.is_starting or s.is_serving or s.is_stopping)
        finally:
            blocker.close()
        assert s.start_serving(port)  # nothing of the failed attempt stays bound
        stop_and_wait(s)

    def test_stop_when_idle_is_ignored(self, host):
        s = TavServer("Blender", (1, 2, 3), host, PUSH)
        s.stop_serving()
        assert not s.is_stopping and host.names() == []

    def test_restart_from_server_did_stop(self):
        class Restarting(RecordingHost):
            def server_did_stop(self, server):
                super().server_did_stop(server)
                if len(self.calls_of("server_did_stop")) == 1:
                    self.restarted = server.start_serving(0)

        host = Restarting()
        s = TavServer("Blender", (1, 2, 3), host, PUSH)
        assert s.start_serving(0)
        s.stop_serving()
        wait_until(lambda: hasattr(host, "restarted") and not s.is_stopping)
        assert host.restarted
        wait_until(lambda: s.is_serving and s._is_event_loop_running)
        stop_and_wait(s)
        # The event loop ends shortly after the stop (under Wine it was seen still running when
        # the stop had ended).
        wait_until(lambda: not s._is_event_loop_running)

    def test_a_stop_still_queued_in_pull_mode_is_delivered_after_serving_again(self, host):
        s = TavServer("Blender", (1, 2, 3), host, PULL)
        assert s.start_serving(0)
        s.stop_serving()
        wait_until(lambda: not s.is_stopping)  # its server_did_stop waits for the host's loop
        assert s.start_serving(0)
        loop = PullLoop(s)
        host.wait_for("server_did_stop")
        stop_and_wait(s, loop)
        host.wait_for("server_did_stop", count=2)
        loop.close()

    def test_stop_completes_when_server_did_stop_raises(self, capfd):
        host = RecordingHost()
        host.fail["server_did_stop"] = RuntimeError("host broke")
        s = TavServer("Blender", (1, 2, 3), host, PUSH)
        assert s.start_serving(0)
        port = s.server_port
        stop_and_wait(s)
        wait_until(lambda: not s._is_event_loop_running)
        err = capfd.readouterr().err
        assert "RuntimeError: host broke" in err and "Traceback" in err
        assert s.start_serving(port)  # the listening socket was closed
        host.fail.clear()
        stop_and_wait(s)

    def test_stop_with_app_connected_runs_the_disconnect_first(self, serving, host):
        app = connect(serving)
        host.wait_for("client_connected")
        serving.stop_serving()
        host.wait_for("server_did_stop")
        assert host.names()[-3:] == ["current_camera_changed", "client_disconnected",
                                     "server_did_stop"]
        assert app.recv(1) == b""  # the server ended the connection
        app.close()

    def test_serving_again_while_the_last_network_thread_is_still_in_a_host_call(self):
        # The stop gives up waiting for the network thread after 5 s; that thread must not serve
        # on into the next serving period, answering its old app's request to the new app.
        class Slow(RecordingHost):
            release, returned = threading.Event(), threading.Event()

            def execute_script(self, server, index, name):
                super().execute_script(server, index, name)
                self.release.wait(30)
                self.returned.set()
                return True

        host = Slow()
        s = TavServer("Blender", (1, 2, 3), host, PUSH)
        assert s.start_serving(0)
        old = connect(s)
        host.wait_for("client_connected")
        old.sendall(b"\x9d\x00")  # DO_EXECUTE_SCRIPT 0
        host.wait_for("execute_script")
        s.stop_serving()
        wait_until(lambda: not s.is_stopping, timeout=15)
        if not s.start_serving(0):  # busy while that thread has not ended
            host.release.set()
            wait_until(lambda: s.start_serving(0), timeout=10)
        host.release.set()
        host.returned.wait(5)
        host.wait_for("server_did_stop")
        version = b"\x08" + struct.pack("<3H", 1, 2, 3)
        app = connect(s)
        host.wait_for("client_connected", 2)
        second = connect(s)
        second.sendall(b"\x08")
        second.settimeout(0.5)
        with pytest.raises(socket.timeout):  # one app at a time
            second.recv(1)
        for _ in range(3):
            app.sendall(b"\x08")
            assert recv_exact(app, 7) == version
        app.close()
        second.settimeout(5)
        assert recv_exact(second, 7) == version
        stop_and_wait(s)
        second.close()
        old.close()
