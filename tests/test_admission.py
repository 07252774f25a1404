"""Who is served: the host's admission decision, the address the server listens on, and a phone
that comes back on a new connection while its old one is still open, and one that vanishes from
the network without closing its connection."""

import json
import os
import socket
import sys
import threading

import pytest

from conftest import (PULL, RecordingHost, TavServer, connect, handler_errors, recv_exact,
                      stop_and_wait, wait_until)
import vanishing_phone

def served_normally(sock):
    """Asks the plug-in version: the reply is the code and three 16-bit numbers."""
    sock.sendall(b"\x08")
    return recv_exact(sock, 7)[:1] == b"\x08"


def server_ends(port):
    """The server's ends of the connections to `port`, by the peer's port: whether each was
    accepted (one still in the listening socket's queue has no socket yet: inode 0)."""
    ends = {}
    with open("/proc/net/tcp") as table:
        for row in table.readlines()[1:]:
            local, remote, state, inode = (row.split()[i] for i in (1, 2, 3, 9))
            if int(local.split(":")[1], 16) == port and state != "0A":  # not the listener
                ends[int(remote.split(":")[1], 16)] = inode != "0"
    return ends


def resources():
    return tuple(vanishing_phone.resources().values())


def nothing_grew(before):
    """Whether nothing of `resources()` is above `before` (what earlier tests' connections held
    may still be going away meanwhile)."""
    return all(now <= then for now, then in zip(resources(), before))


class Gatekeeper(RecordingHost):
    """Serves the addresses in `verdicts` mapped to True; an exception there is raised."""

    def __init__(self, verdicts):
        super().__init__()
        self.verdicts = verdicts

    def client_may_connect(self, server, ip, port):
        self._record("client_may_connect", ip, port)
        verdict = self.verdicts.get(ip, False)
        if isinstance(verdict, Exception):
            raise verdict
        return verdict


@pytest.mark.parametrize("refusal", ["false", "raises"])
def test_refused_app_gets_no_byte_and_reaches_no_host_operation(make_server, log, capfd, refusal):
    verdict = RuntimeError("not this phone") if refusal == "raises" else False
    host = Gatekeeper({"127.0.0.1": True, "127.0.0.2": verdict})
    served = make_server(host)
    refused = connect(served.server, source="127.0.0.2")
    refused_port = refused.getsockname()[1]
    assert refused.recv(1) == b""  # closed at once, nothing sent
    log.wait_for(f"Refused connection from: 127.0.0.2:{refused_port}")
    assert [c[:2] for c in host.take(session=True)] == [
        ("client_may_connect", ("127.0.0.2", refused_port))]
    assert not served.server.is_connected
    if refusal == "raises":  # reported as any host error, naming the operation
        errors = handler_errors(served, capfd)
        assert "not this phone" in errors and "client_may_connect" in errors
    refused.close()

    # The server kept listening: an allowed app is served as ever, decided first; a refused one
    # that comes meanwhile is refused at once, not after the session.
    allowed = connect(served.server, source="127.0.0.1")
    assert served_normally(allowed)
    port = allowed.getsockname()[1]
    late = connect(served.server, source="127.0.0.2")
    assert late.recv(1) == b""
    late.close()
    names = [c[0] for c in host.take(session=True)]
    assert names == ["client_may_connect", "client_connected", "client_may_connect"]
    assert host.calls_of("client_connected") == [("127.0.0.1", port)]
    # The decision ran in host context: the thread that runs every other host operation.
    threads = {c[2] for c in host.calls}
    assert len(threads) == 1 and ("host-main" in threads) == (served.mode == PULL)
    allowed.close()
    host.wait_for("client_disconnected")


def test_refused_connects_leave_nothing_behind(make_server):
    host = Gatekeeper({})
    served = make_server(host)
    sock = connect(served.server, source="127.0.0.2")
    assert sock.recv(1) == b""
    sock.close()
    before = resources()
    for _ in range(100):
        sock = connect(served.server, source="127.0.0.2")
        assert sock.recv(1) == b""
        sock.close()
    host.wait_for("client_may_connect", 101)
    wait_until(lambda: nothing_grew(before))
    assert set(host.names()) == {"client_may_connect"}


def test_stop_lets_a_pending_decision_go(server):
    """Pull mode with a host that does not drain: the network thread waits for the decision, and
    a stop ends that wait; the decision, run afterwards, asks the host nothing."""
    host = Gatekeeper({"127.0.0.1": True})
    srv = server(host, TavServer.EVENTMODE_PULL)
    threads = resources()[0]
    assert srv.start_serving(0)
    app = connect(srv, source="127.0.0.1")
    wait_until(lambda: server_ends(srv.server_port).get(app.getsockname()[1]))
    # Undecided, the app holds its socket only: the network thread is the one thread more.
    assert resources()[0] <= threads + 1
    srv.stop_serving()
    wait_until(lambda: not srv.is_serving and not srv.is_stopping, 10)
    while srv.is_event_loop_running:
        srv.execute_pending_events()
    assert app.recv(1) == b""
    assert host.names() == ["server_did_stop"]
    app.close()


def test_listening_on_one_address(server, host):
    srv = server(host)
    for bad in ("10.254.254.254", "no address", "127.0.0.1.5"):
        before = resources()
        with pytest.raises(ValueError, match=f"'{bad}'"):
            srv.start_serving(0, bad)
        assert nothing_grew(before)  # nothing left open
        assert not (srv.is_starting or srv.is_serving)
    assert srv.start_serving(0, address="127.0.0.1")
    port = srv.server_port
    assert srv.get_qr_string() == f"{port}_127.0.0.1"
    with pytest.raises(ConnectionRefusedError):  # the kernel refuses the other interface
        socket.create_connection(("127.0.0.2", port), timeout=5)
    app = connect(srv, source="127.0.0.1")
    assert served_normally(app)
    app.close()
    stop_and_wait(srv)  # the stop's wake-up reaches the address listened on
    assert srv.start_serving(0, None) and srv.get_qr_string().startswith(f"{srv.server_port}_")


def test_returning_phone_takes_over_and_others_wait(make_server, log):
    host = Gatekeeper({"127.0.0.2": True, "127.0.0.3": True})
    served = make_server(host)
    old = connect(served.server, source="127.0.0.2")
    assert served_normally(old)
    other = connect(served.server, source="127.0.0.3")  # another phone: waits its turn
    other.sendall(b"\x08")
    back = connect(served.server, timeout=3, source="127.0.0.2")  # the same phone, again
    back.sendall(b"\x08")
    # While the served app still talks, the other app at its address waits (two phones behind
    # one router); once it has been quiet for 1.5 s, the newcomer takes over.
    back.settimeout(0.25)
    for _ in range(8):
        assert served_normally(old)
        with pytest.raises(socket.timeout):
            back.recv(1)
    back.settimeout(3)
    assert recv_exact(back, 7)[:1] == b"\x08"
    assert old.recv(1) == b""  # its old connection was closed
    old_port, back_port = old.getsockname()[1], back.getsockname()[1]
    assert [c[:2] for c in host.take(session=True)] == [
        ("client_may_connect", ("127.0.0.2", old_port)),
        ("client_connected", ("127.0.0.2", old_port)),
        ("client_may_connect", ("127.0.0.3", other.getsockname()[1])),  # decided as it came
        ("client_may_connect", ("127.0.0.2", back_port)),
        ("current_camera_changed", ("",)),
        ("client_disconnected", ()),
        ("client_connected", ("127.0.0.2", back_port)),
    ]
    other.settimeout(0.3)
    with pytest.raises(socket.timeout):
        other.recv(1)  # still waiting
    back.close()
    other.settimeout(5)
    assert recv_exact(other, 7)[:1] == b"\x08"
    other.close()
    old.close()


def test_waiting_apps_past_the_limit_stay_in_the_backlog(make_server):
    addresses = [f"127.0.0.{i}" for i in range(10, 22)]
    host = Gatekeeper(dict.fromkeys(["127.0.0.2"] + addresses, True))
    served = make_server(host)
    first = connect(served.server, source="127.0.0.2")
    assert served_normally(first)
    # More phones than the server keeps waiting, each served in turn and leaving: none is lost.
    answered = []

    def app(address):
        with connect(served.server, timeout=60, source=address) as sock:
            answered.append(served_normally(sock))

    apps = [threading.Thread(target=app, args=(a,)) for a in addresses]
    for t in apps:
        t.start()
    # The server took those it keeps waiting; the rest are in its backlog or still connecting.
    wait_until(lambda: sum(server_ends(served.server.server_port).values()) == 1 + 8, 10)
    first.close()
    for t in apps:
        t.join(90)
    assert answered == [True] * 12
    assert len(host.calls_of("client_connected")) == 13


@pytest.mark.parametrize("args", [[], ["--pull"], ["--stream"]], ids=["push", "pull", "streaming"])
def test_vanished_phone_is_noticed_and_a_returning_one_takes_over(args):
    """Idle, keepalive notices it; while streaming, the data it no longer acknowledges (then the
    stream stops and its worker and frame block go: the scenario waits for that)."""
    if vanishing_phone.unavailable():
        pytest.skip(vanishing_phone.unavailable())
    r = vanishing_phone.run_isolated([sys.executable, vanishing_phone.__file__, *args],
                                     timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
    d = json.loads(r.stdout.splitlines()[-1])
    assert d["takeover"][0] < 3.0
    assert d["noticed"][0] < 30.0  # never, before: the session waited for the phone for good
    assert d["resources"][0]["workers"] == d["resources"][0]["blocks"] == 0
