"""The demo host: a small scene served to the app, and by default an app simulator run against it.

    python -m tavrel.demo [--out DIR] [--seconds S] [--quick] [--serve] [--pull] [--port N]
                          [--address IP] [--allow IP ...]

The host (``tavrel.demo_host``) is a complete `TavBase` implementation, the kind a plug-in writes
for its application: a few named cameras, a timeline, keys, two custom scripts, and a viewport
rendered with numpy (``tavrel.demo_viewport``) through the camera it looks through.

Without ``--serve`` it then runs the app simulator (``tavrel.simulator``) against itself for a few
seconds and writes what the app received into ``--out``; with ``--serve`` it serves a real phone
until Ctrl-C. Either way it first prints the connection string and the QR code, and writes the QR
code as ``qr.png``. ``--allow IP`` (repeatable) serves only phones at those addresses (the
simulator connects from 127.0.0.1); ``--address IP`` listens on that interface only.

Exit status: 0 when the run completed, and also when Ctrl-C ends ``--serve`` (its normal end);
1 when serving could not start or the simulator failed; 130 when Ctrl-C interrupted a simulator
run.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time
import traceback

from tavrel.tav_core import TavServer

# The demo's pieces, importable from here as well.
from tavrel.demo_host import Camera, DemoHost, Timeline  # noqa: F401
from tavrel.demo_viewport import (  # noqa: F401
    AXIS_X, AXIS_Y, BAR, BAR_BACK, BOXES, GRID, GROUND, HEIGHT, LIGHT, NEAR, SENSOR_WIDTH, SKY,
    WIDTH, Viewport, look_at, rgba,
)

PLUGIN_VERSION = (1, 0, 0)
SHUTDOWN_TIMEOUT = 15.0


# -- the terminal ---------------------------------------------------------------------------------
def qr_text(rows, ansi=False, encoding="utf-8"):
    """The QR code as text, two module rows per line in Unicode half blocks. Dark modules are
    drawn as blocks (right on a light background); with `ansi`, black on white whatever the
    terminal's colours. Where `encoding` cannot hold the blocks (Windows' ANSI code pages, which a
    pipe or a file gets there), one module row per line, a dark module as "##"."""
    dark = [[v < 128 for v in row] for row in rows]
    try:
        "\u2580\u2584\u2588".encode(encoding or "ascii")
    except (UnicodeEncodeError, LookupError):
        lines = ["".join("##" if d else "  " for d in row) for row in dark]
    else:
        if len(dark) % 2:
            dark.append([False] * len(dark[0]))
        glyphs = {(False, False): " ", (True, False): "\u2580", (False, True): "\u2584",
                  (True, True): "\u2588"}
        lines = ["".join(glyphs[pair] for pair in zip(top, bottom))
                 for top, bottom in zip(dark[0::2], dark[1::2])]
    return "\n".join(f"\x1b[30;107m{line}\x1b[0m" if ansi else line for line in lines)


def _show_connection(server, out_dir):
    connection = server.get_qr_string()
    png = os.path.join(out_dir, "qr.png")
    server.write_qr_image_png(png, 8)
    # One write: the server's log lines come from other threads and must not split these lines.
    qr = qr_text(server.get_qr_image_raw(1), ansi=sys.stdout.isatty(),
                 encoding=getattr(sys.stdout, "encoding", None))
    sys.stdout.write(f"demo: serving on port {server.server_port}; connection string {connection}"
                     f"\n{qr}\ndemo: QR code written to {png}\n")
    sys.stdout.flush()


# -- running --------------------------------------------------------------------------------------
class Host:
    """The host application's side of the server's life: serving, the main-thread timer of pull
    mode, and a stop that leaves no worker or shared block behind."""

    def __init__(self, pull, allowed=None):
        self.scene = DemoHost(allowed=allowed)
        mode = TavServer.EVENTMODE_PULL if pull else TavServer.EVENTMODE_PUSH
        self.server = TavServer("Demo", PLUGIN_VERSION, self.scene, mode)
        self.pull = pull

    def tick(self):
        """One turn of the host's main loop: run what the server queued and wait a millisecond
        (pull mode), or just wait (push mode, where the server calls the host itself)."""
        if not self.pull:
            time.sleep(0.05)
            return
        try:
            self.server.execute_pending_events()
        except Exception:  # a failed host operation; the host's timer carries on
            traceback.print_exc()
        time.sleep(0.001)

    def stop(self):
        """Stops serving and waits until the server, its workers and, in pull mode, the queue
        are done. Ctrl-C meanwhile does not cut this short."""
        server, requested = self.server, False
        deadline = time.monotonic() + SHUTDOWN_TIMEOUT
        while time.monotonic() < deadline:
            try:
                if not requested:
                    server.stop_serving()  # does nothing when the server is not serving
                    requested = True
                busy = server.is_serving or server.is_stopping
                if not busy and not (self.pull and server.is_event_loop_running):
                    return True
                self.tick()
            except KeyboardInterrupt:
                print("demo: still stopping ...", flush=True)
        print("demo: the server did not stop in time", file=sys.stderr)
        return False


def _simulate(host, args):
    """Runs the simulator in a thread while the main thread stays the host's."""
    from tavrel.app import ProtocolError, ServerError
    from tavrel.simulator import Simulator

    sim = Simulator("127.0.0.1", host.server.server_port, seconds=args.seconds, out_dir=args.out)
    result = {}

    def run():
        try:
            result["report"] = sim.run()
        except BaseException as e:  # reported by the main thread
            result["error"] = e

    thread = threading.Thread(target=run, name="app-simulator", daemon=True)
    thread.start()
    try:
        while thread.is_alive():
            host.tick()
    except KeyboardInterrupt:
        sim.interrupt()
        while thread.is_alive():
            try:
                host.tick()
            except KeyboardInterrupt:
                pass
        raise
    if "error" in result:
        error = result["error"]
        if isinstance(error, (OSError, RuntimeError, ServerError, ProtocolError)):
            print(f"demo: the simulator failed: {type(error).__name__}: {error}", file=sys.stderr)
        else:
            traceback.print_exception(type(error), error, error.__traceback__)
        return 1
    print(result["report"].summary(), flush=True)
    return 0


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python -m tavrel.demo", description=__doc__.split("\n")[0])
    p.add_argument("--out", default="demo-output", help="output directory (default: %(default)s)")
    p.add_argument("--port", type=int, default=0, help="TCP port (default: any free port)")
    p.add_argument("--seconds", type=float, default=4.0,
                   help="simulator streaming time (default: %(default)s)")
    p.add_argument("--quick", action="store_true", help="a short run: one second of streaming")
    p.add_argument("--serve", action="store_true",
                   help="serve a real phone until Ctrl-C instead of running the simulator")
    p.add_argument("--pull", action="store_true",
                   help="pull mode: the main thread runs the server's queued host operations")
    p.add_argument("--allow", action="append", metavar="IP",
                   help="serve only the phone at this address (repeatable; default: any phone)")
    p.add_argument("--address", metavar="IP",
                   help="listen on this interface's address only (default: every interface)")
    args = p.parse_args(argv)
    if args.quick:
        args.seconds = 1.0
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0 to 65535")
    if args.seconds <= 0:
        p.error("--seconds must be positive")
    return args


def _run(host, args):
    try:
        if not host.server.start_serving(args.port, args.address):
            return 1  # the server has said why
    except ValueError as e:
        print(f"demo: {e}", file=sys.stderr)
        return 1
    _show_connection(host.server, args.out)
    if not args.serve:
        return _simulate(host, args)
    print("demo: serving until Ctrl-C", flush=True)
    while True:
        host.tick()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    # Ctrl-C ends the demo even where it was started with SIGINT ignored (a background job of a
    # script), and `kill` ends it as cleanly.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        os.makedirs(args.out, exist_ok=True)
        host = Host(args.pull, args.allow)
    except KeyboardInterrupt:
        return 130
    try:
        status = _run(host, args)
    except KeyboardInterrupt:
        print("\ndemo: interrupted", flush=True)
        status = 0 if args.serve else 130
    finally:
        stopped = host.stop()
    return status if stopped else 1


if __name__ == "__main__":
    sys.exit(main())
