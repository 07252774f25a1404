"""A plug-in developer runs the demo host and the app simulator, and stops them with Ctrl-C.

Everything runs as real processes. The demo runs in a session of its own, so that its workers can
be told apart from everything else on the machine when checking what a run left behind.

Ctrl-C ending --serve is its normal end: exit status 0. Ctrl-C interrupting a simulator run gives
the conventional 130.
"""

import io
import locale
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import threading

import av
import numpy as np
import pytest
import zxingcpp
from PIL import Image

from conftest import wait_until
from streaming_support import kill_session, session_processes, shm_entries
from tavrel.app import AppClient

PYTHON = [sys.executable]
# The other system's Python, a command (scripts/check_windows.sh gives Windows CPython under Wine):
# its demo and simulator against this system's.
OTHER_PYTHON = shlex.split(os.environ.get("TAVREL_OTHER_PYTHON", ""))
SIZE = (640, 360)


def environment(python, **values):
    """The environment for a run with `python`: another system's has its own module path."""
    env = dict(os.environ, **values)
    if python != PYTHON:
        env.pop("PYTHONPATH", None)
    return env


class Demo:
    """A demo process whose output is collected line by line: from a pipe, or with `sink="file"`
    from the file it wrote, once it ended. `encoding` is its output's (PYTHONIOENCODING); by
    default the system's own for a pipe or a file (an ANSI code page on Windows)."""

    def __init__(self, *args, out, encoding=None, sink="pipe", python=PYTHON):
        env = environment(python, PYTHONUNBUFFERED="1")
        env.pop("PYTHONIOENCODING", None)
        if encoding:
            env["PYTHONIOENCODING"] = encoding
        self.encoding = encoding or locale.getpreferredencoding(False)
        self.file = open(out / "demo-output.txt", "wb+") if sink == "file" else None
        self.proc = subprocess.Popen([*python, "-m", "tavrel.demo", "--out", str(out), *args],
                                     stdout=self.file or subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env,
                                     start_new_session=os.name == "posix")
        self.lines = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        if self.file is None:
            for line in io.TextIOWrapper(self.proc.stdout, self.encoding):
                self.lines.append(line.rstrip("\r\n"))

    @property
    def text(self):
        return "\n".join(self.lines)

    def wait_for(self, pattern, timeout=30):
        return wait_until(lambda: re.search(pattern, self.text), timeout, interval=0.02)

    def port(self, timeout=30):
        return int(self.wait_for(r"serving on port (\d+);", timeout).group(1))

    def finish(self, timeout=60):
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self._reader.join(5)
        if self.file is not None:
            self.file.seek(0)
            self.lines = self.file.read().decode(self.encoding).splitlines()
            self.file.close()
        return status

    def interrupt(self, timeout=5):
        self.proc.send_signal(signal.SIGINT)
        return self.finish(timeout)

    def assert_nothing_left(self):
        assert session_processes(self.proc.pid) == []
        wait_until(lambda: not shm_entries(self.proc.pid), timeout=5)

    def kill(self):
        if self.proc.poll() is None:
            if os.name == "posix":
                kill_session(self.proc.pid)
            else:
                self.proc.kill()
            self.proc.wait()
        if self.file is not None:
            self.file.close()


@pytest.fixture
def demos():
    made = []

    def start(*args, out, **kwargs):
        demo = Demo(*args, out=out, **kwargs)
        made.append(demo)
        return demo

    yield start
    for demo in made:
        demo.kill()


def decoded_frames(path):
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        assert stream.codec_context.name == "vp9"
        assert (stream.width, stream.height) == SIZE
        return stream.average_rate, [f.to_ndarray(format="rgb24") for f in container.decode(stream)]


def assert_video_moves(path, min_frames):
    rate, frames = decoded_frames(path)
    assert rate == 30
    assert len(frames) >= min_frames
    assert all(f.shape == (SIZE[1], SIZE[0], 3) for f in frames)
    early = np.mean(frames[:3], axis=0)
    late = np.mean(frames[-3:], axis=0)
    # The camera turned and zoomed in between: a large part of the picture changed.
    changed = np.abs(early - late).max(axis=2) > 40
    assert changed.mean() > 0.05


def terminal_qr(lines):
    """The QR code the demo printed, in half blocks or, where the encoding has none, as "##" for
    a dark module, as an image."""
    rows = []
    for line in lines:
        if not line.strip():
            continue
        if set(line) <= set(" \u2580\u2584\u2588"):
            rows.append([c in "\u2580\u2588" for c in line])
            rows.append([c in "\u2584\u2588" for c in line])
        elif set(line) <= set(" #") and len(line) % 2 == 0:
            rows.append([c == "#" for c in line[::2]])
    width = max(map(len, rows))
    dark = np.array([r + [False] * (width - len(r)) for r in rows])
    image = np.where(dark, 0, 255).astype(np.uint8)
    image = np.pad(image, 8, constant_values=255)
    return np.kron(image, np.ones((4, 4), np.uint8))


# The system's own encoding on a pipe (on Windows an ANSI code page without blocks), a Western
# ANSI code page in a file, and a console's OEM code page (which has them).
@pytest.mark.parametrize("encoding,sink", [(None, "pipe"), ("cp1252", "file"), ("cp437", "pipe")],
                         ids=["system-pipe", "cp1252-file", "cp437-pipe"])
def test_demo_runs_the_simulator_against_itself(demos, tmp_path, encoding, sink):
    demo = demos("--quick", out=tmp_path, encoding=encoding, sink=sink)
    assert demo.finish() == 0, demo.text
    text = demo.text
    assert re.search(r"commands sent +\d+, round trip p50 [\d.]+ ms, p99 [\d.]+ ms", text)
    frames = int(re.search(r"frames received +(\d+) \(640x360\)", text).group(1))
    least = 10 if os.name != "nt" else 3  # Wine's encoder is several times slower
    assert frames >= least
    assert_video_moves(tmp_path / "stream.webm", min_frames=least)
    with Image.open(tmp_path / "frame.png") as png:
        assert png.size == SIZE
    connection = re.search(r"connection string (\S+)", text).group(1)
    assert connection.split("_")[0] == str(demo.port())
    (code,) = zxingcpp.read_barcodes(terminal_qr(demo.lines))
    assert code.text == connection
    (code,) = zxingcpp.read_barcodes(np.array(Image.open(tmp_path / "qr.png")))
    assert code.text == connection
    demo.assert_nothing_left()


def test_simulator_command_against_a_serving_demo(demos, tmp_path):
    demo = demos("--serve", out=tmp_path / "demo")
    port = demo.port()
    sim_out = tmp_path / "sim"
    simulate(PYTHON, port, sim_out)
    assert_video_moves(sim_out / "stream.webm", min_frames=10)
    demo.wait_for("demo: app disconnected")
    assert demo.interrupt() == 0
    demo.assert_nothing_left()


def simulate(python, port, out, seconds=1, timeout=60):
    """The simulator run with `python` against the host serving at `port`."""
    run = subprocess.run([*python, "-m", "tavrel.simulator", "127.0.0.1", str(port), "--seconds",
                          str(seconds), "--out", str(out), "--camera", "2"],
                         capture_output=True, text=True, timeout=timeout, env=environment(python))
    assert run.returncode == 0, run.stdout + run.stderr
    assert "camera Camera.Side" in run.stdout


@pytest.mark.skipif(not OTHER_PYTHON, reason="no other system's Python (TAVREL_OTHER_PYTHON)")
@pytest.mark.timeout(600)
@pytest.mark.parametrize("host", ["this", "other"])
def test_simulator_across_systems(demos, tmp_path, host):
    """An app on one system and a host on the other: the pictures decode and move."""
    serving, app = (PYTHON, OTHER_PYTHON) if host == "this" else (OTHER_PYTHON, PYTHON)
    demo = demos("--serve", out=tmp_path / "demo", encoding="utf-8", python=serving)
    simulate(app, demo.port(timeout=180), tmp_path / "sim", timeout=300)
    assert_video_moves(tmp_path / "sim" / "stream.webm", min_frames=3)
    demo.wait_for("demo: app disconnected")
    if host == "this":
        assert demo.interrupt() == 0
        demo.assert_nothing_left()


def test_ctrl_c_while_a_phone_streams_in_pull_mode(demos, tmp_path):
    demo = demos("--serve", "--pull", out=tmp_path)
    with AppClient("127.0.0.1", demo.port()) as app:
        app.scene_cameras()
        assert app.select_camera(1)
        app.start_streaming(fps=30)
        decoder = av.CodecContext.create("vp9", "r")
        for _ in range(3):
            assert decoder.decode(av.Packet(app.read_video_packet(10)))
        assert demo.interrupt() == 0
    assert "Viewport Capture Stopped" in demo.text and "Stopped serving" in demo.text
    demo.assert_nothing_left()


def test_ctrl_c_during_the_simulator_run(demos, tmp_path):
    demo = demos("--seconds", "60", out=tmp_path)
    demo.wait_for("simulator: received|simulator: streaming for")
    demo.wait_for("demo: viewport streaming at")
    assert demo.interrupt() == 130
    assert "Stopped serving" in demo.text
    assert not (tmp_path / "stream.webm").exists()
    demo.assert_nothing_left()


@pytest.mark.parametrize("case", ["port in use", "no such address"])
def test_serving_cannot_start(demos, tmp_path, case):
    with socket.socket() as taken:  # the server binds all interfaces, loopback included
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        args = (["--port", str(taken.getsockname()[1])] if case == "port in use"
                else ["--address", "10.254.254.254"])
        demo = demos(*args, out=tmp_path)
        assert demo.finish() == 1
    assert ("already in use" if case == "port in use" else "not '10.254.254.254'") in demo.text


def test_allow_serves_only_the_phones_given(demos, tmp_path):
    demo = demos("--serve", "--allow", "127.0.0.2", "--allow", "127.0.0.3", out=tmp_path)
    port = demo.port()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as stranger:
        assert stranger.recv(1) == b""  # refused, without a byte
    demo.wait_for(r"Refused connection from: 127\.0\.0\.1:")
    with socket.create_connection(("127.0.0.1", port), timeout=10,
                                  source_address=("127.0.0.3", 0)) as phone:
        phone.sendall(b"\x08")
        assert phone.recv(7)[:1] == b"\x08"
    demo.wait_for("demo: app connected from 127.0.0.3")
    assert demo.interrupt() == 0
