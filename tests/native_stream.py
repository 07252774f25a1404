"""The native test program (tests/native), built for Linux or cross-built for Windows and run under
Wine, and its end-to-end stream run (`--stream`) seen from the app's side: a listener on 127.0.0.1
takes the encoder worker's connection, reads its video packet messages (code 4, uint32 LE size,
packet) as they arrive, and decodes them with PyAV."""

import os
import socket
import struct
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

import av

from screen_support import VirtualScreen

ROOT = Path(__file__).resolve().parents[1]
VIDEO_PACKET = 4


def build(*args):
    """Builds the program (scripts/build_native_tests.sh ARGS) and returns its build directory."""
    done = subprocess.run([str(ROOT / "scripts/build_native_tests.sh"), *args], capture_output=True,
                          text=True, timeout=1700)
    assert done.returncode == 0, done.stdout + done.stderr
    return Path(done.stdout.strip().splitlines()[-1])


def command(target, build_dir, limit):
    """The command line that runs the program built for `target`: under Wine for "windows"."""
    if target == "windows":
        return [str(ROOT / "scripts/wine.sh"), "--time-limit", str(limit),
                str(build_dir / "tav_native_tests.exe")]
    return [str(build_dir / "tav_native_tests")]


@dataclass
class StreamRun:
    returncode: int
    output: str
    packets: list = field(default_factory=list)
    arrivals: list = field(default_factory=list)  # monotonic seconds at each packet's end
    stray: bytes = b""  # what followed the last whole message (nothing, unless something broke)

    def frames(self):
        """The decoded pictures, as RGB numpy arrays."""
        decoder = av.CodecContext.create("vp9", "r")
        return [f.to_ndarray(format="rgb24") for p in self.packets
                for f in decoder.decode(av.Packet(p))]

    def packets_per_second(self):
        """From the first packet's arrival to the last: the encoder's pace, start-up left out."""
        return (len(self.arrivals) - 1) / (self.arrivals[-1] - self.arrivals[0])


def _read_messages(conn, run):
    reader = conn.makefile("rb")
    while head := reader.read(5):
        if len(head) < 5 or head[0] != VIDEO_PACKET:
            run.stray = head + reader.read()
            return
        (size,) = struct.unpack("<I", head[1:])
        packet = reader.read(size)
        if len(packet) < size:
            run.stray = head + packet
            return
        run.packets.append(packet)
        run.arrivals.append(time.monotonic())


def run_against_listener(program, limit, read, screen=False):
    """Runs the command that `program(port)` gives (argv, and variables added to the environment)
    while a listener on 127.0.0.1:port hands the one connection it accepts to `read`; on a virtual
    X screen of its own when `screen` (Wine always wants one). Returns the finished process."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(limit)

        def serve():
            conn, _ = listener.accept()
            with conn:
                conn.settimeout(limit)
                read(conn)

        reader = threading.Thread(target=serve, daemon=True)
        reader.start()
        argv, env = program(listener.getsockname()[1])
        display = VirtualScreen(640, 480) if screen else None
        try:
            if display:
                env = {**env, "DISPLAY": display.display}
            done = subprocess.run(argv, capture_output=True, text=True, timeout=limit + 30,
                                  env={**os.environ, **env})
        finally:
            if display:
                display.close()
        reader.join(limit)
    return done


def run_stream(program, limit, screen=False, **options):
    """Runs `program --stream` with `options` (NAME=VALUE) against a listener of its own, on a
    virtual X screen when `screen`; returns what arrived."""
    run = StreamRun(-1, "")

    def stream(port):
        args = [f"port={port}"] + [f"{k}={v}" for k, v in options.items()]
        return [*program, "--stream", *args], {}

    done = run_against_listener(stream, limit, lambda conn: _read_messages(conn, run), screen)
    run.returncode, run.output = done.returncode, done.stdout + done.stderr
    return run
