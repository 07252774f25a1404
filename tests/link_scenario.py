"""One streaming session over the loopback as the network benchmark and tests run it: a host that
renders changing 640x360 content (gradients, a band and moving noise) with its frame number drawn
into the picture, and an app in a
process of its own that streams with autosend, asks a query every 250 ms, reads as fast as the
link allows (or stops reading for a while), and decodes the video with PyAV afterwards, so each
frame's latency (the getter's return to the packet complete at the app) is exact whatever frames
were skipped. Prints one JSON object with the raw observations.

With --on-request the app streams without autosend instead: it asks one frame at a time, the next
once the last has come, every 250 ms together with the scene's camera list (a reply larger than a
frame, so the request finds a backlog), and at the end asks a last frame that it stops the stream
behind.

    python link_scenario.py [--pull] [--seconds S] [--mbps M] [--stall AT LENGTH] [--on-request]
                            [--step AT MBIT]...

Run it inside a shaped network namespace (shaped_link.py) to give the link a rate; --step changes
that rate while the stream runs (each given once, AT seconds into it).
"""

import argparse
import contextlib
import json
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np

from frame_number import BITS, draw_number, read_number
from shaped_link import change_rate
from tavrel import tav_core
from tavrel.app import AppClient
from tavrel.tav_base import TavBase

WIDTH, HEIGHT = 640, 360
BLOCK = WIDTH // BITS  # each bit of the frame number: a 40-pixel square
QUERY_PERIOD = 0.25
CAMERAS = ["Camera"]
# With a stall: a reply larger than the socket buffers can take while the app reads nothing.
LARGE_CAMERAS = [f"Camera.{i:06d}.with-a-long-name-to-make-the-list-large" for i in range(120000)]
# With --on-request: a reply of about 16 kB, twice a frame at 2 Mbit/s and 30 fps.
MEDIUM_CAMERAS = LARGE_CAMERAS[:300]
# An answer that takes longer than this to come is a request the server lost.
LOST_AFTER = 3.0


class Host(TavBase):
    def __init__(self, cameras):
        self.cameras = cameras
        yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH]
        self.xx, self.yy = xx.astype(np.uint16), yy.astype(np.uint16)
        self.picture = np.zeros((HEIGHT, WIDTH, 4), np.uint8)
        self.picture[..., 3] = 255
        # Fine detail that moves, as in a textured scene: the encoder needs its whole rate, and a
        # key frame is large.
        self.noise = np.random.default_rng(1).integers(0, 256, (HEIGHT, 2 * WIDTH), np.uint8)
        self.n = 0
        self.returned = {}  # frame number -> time the getter returned it
        self.work = 0.0  # seconds spent rendering inside host calls since the last reset

    def get_scene_cameras(self, server):
        return self.cameras

    def get_camera_exists(self, server, name):
        return True

    def get_play_fps(self, server):
        return 30.0

    def capture_will_start(self, server):
        server.set_capture_mode(TavServer.CAPMODE_BUFFER, TavServer.CAPFORMAT_UBYTE_RGBA)
        server.set_capture_resolution(WIDTH, HEIGHT)

    def get_capture_buffer(self, server, name):
        start = time.monotonic()
        n = self.n = (self.n + 1) % (1 << BITS)
        p = self.picture
        p[..., 0] = (self.xx + n * 7) % 256
        p[..., 1] = (self.yy * 3 + n * 5) % 256
        shift = (n * 3) % WIDTH
        p[..., 2] = self.noise[:, shift : shift + WIDTH]
        band = (n * 4) % (HEIGHT - 40)
        p[band : band + 40, :, 2] = 255
        draw_number(p, n, BLOCK)
        data = p.tobytes()
        now = time.monotonic()
        self.work += now - start
        self.returned[n] = now
        return data


TavServer = tav_core.TavServer


def serve(args):
    host = Host(LARGE_CAMERAS if args.stall else MEDIUM_CAMERAS if args.on_request else CAMERAS)
    mode = TavServer.EVENTMODE_PULL if args.pull else TavServer.EVENTMODE_PUSH
    server = TavServer("Bench", (1, 0, 0), host, mode)
    server.start_serving(0)
    app = subprocess.Popen(
        [sys.executable, __file__, "--app", str(server.server_port), "--seconds", str(args.seconds),
         "--mbps", str(args.mbps), "--rcvbuf", str(args.rcvbuf)]
        + (["--stall", *map(str, args.stall)] if args.stall else [])
        + (["--on-request"] if args.on_request else [])
        + [str(x) for at, mbit in args.step or () for x in ("--step", at, mbit)],
        stdout=subprocess.PIPE)
    longest_pull = 0.0  # longest execute_pending_events beyond the host's own work in it
    if args.pull:
        while app.poll() is None:
            host.work = 0.0
            t = time.monotonic()
            server.execute_pending_events()
            longest_pull = max(longest_pull, time.monotonic() - t - host.work)
            time.sleep(0.001)
    out, _ = app.communicate(timeout=args.seconds + 60)
    server.stop_serving()
    deadline = time.monotonic() + 10
    while server.is_event_loop_running and time.monotonic() < deadline:
        server.execute_pending_events()
        time.sleep(0.005)
    result = json.loads(out)
    result["latencies"] = [(t, t - host.returned[n]) for n, t, _ in result["frames"]
                           if n in host.returned]
    result["longest_pull"] = longest_pull if args.pull else None
    result["made"] = sorted(host.returned)
    print(json.dumps(result), file=sys.__stdout__)


def read_autosend(app, args, start, end):
    """Reads the stream until `end`, a query every QUERY_PERIOD, stalling as `args` asks."""
    packets, replies, sent, order = [], [], [], []
    next_query = start
    stall_from = start + args.stall[0] if args.stall else None
    stall_to = stall_from + args.stall[1] if args.stall else None
    while time.monotonic() < end:
        now = time.monotonic()
        if stall_from and stall_from <= now < stall_to:
            if not sent or sent[-1][1] != "cameras":
                app.send_raw(bytes([2]))  # a large reply while the app reads nothing
                sent.append((now, "cameras"))
            time.sleep(stall_to - now)
            continue
        if now >= next_query:
            app.send_raw(bytes([5]))
            sent.append((now, "query"))
            next_query += QUERY_PERIOD
        try:
            code, payload = app.read_message(max(0.001, min(next_query, end) - now))
        except TimeoutError:
            continue
        got = time.monotonic()
        order.append(code)
        if code == 4:
            packets.append((got, payload))
        elif code in (2, 5):
            replies.append((got, code))
    return packets, replies, sent, order, {}


def ask_one_at_a_time(app, args, start, end):
    """Asks one frame at a time until `end`; then asks one more and stops the stream behind it,
    while two camera lists still wait to reach the app."""
    packets, replies, sent, order, requests = [], [], [], [], []
    next_query = start

    def ask():
        nonlocal next_query
        now = time.monotonic()
        if now >= next_query:
            app.send_raw(bytes([2, 4]))  # the camera list goes out ahead of the frame
            sent.append((now, "cameras"))
            next_query += QUERY_PERIOD
        else:
            app.send_raw(bytes([4]))
        requests.append([now, None])

    def take(code, payload, got):
        order.append(code)
        if code == 4:
            packets.append((got, payload))
            if requests and requests[-1][1] is None:
                requests[-1][1] = got
                return True
        elif code in (2, 5):
            replies.append((got, code))
        return False

    ask()
    while requests[-1][1] is None:  # until `end`, then until the last request is answered
        asked = requests[-1][0]
        try:
            code, payload = app.read_message(max(0.001, asked + LOST_AFTER - time.monotonic()))
        except TimeoutError:
            break  # lost: the app would wait for ever
        if take(code, payload, time.monotonic()) and time.monotonic() < end:
            ask()

    app.send_raw(bytes([2, 2, 4, 151]))
    sent += [(time.monotonic(), "cameras")] * 2
    stopped, after_stop = None, []
    give_up = time.monotonic() + 10
    while time.monotonic() < (give_up if stopped is None else stopped + 1.0):
        try:
            code, payload = app.read_message(0.1)
        except TimeoutError:
            continue
        if stopped is None and code == 151:
            stopped = time.monotonic()
        elif stopped is None or code in (2, 5):
            take(code, payload, time.monotonic())
        else:
            after_stop.append(code)
    return packets, replies, sent, order, {"requests": requests, "after_stop": after_stop}


def run_app(args):
    import av

    app = AppClient("127.0.0.1", args.port, timeout=10)
    if args.rcvbuf:
        # A small window makes a stall reach the server at once. It must be set before the
        # connection is made: shrinking it later makes the kernel drop data already on its way.
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
        sock.connect(("127.0.0.1", args.port))
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        app._sock.close()
        app._sock = sock
    app.scene_cameras()
    app.select_camera(0)
    idle = []
    for _ in range(10):
        t = time.monotonic()
        app.play_fps()
        idle.append(time.monotonic() - t)
    app.sync()
    asked = time.monotonic()
    app.start_streaming(fps=30.0, mbps=args.mbps, autosend=not args.on_request)

    start = time.monotonic()
    end = start + args.seconds
    for at, mbit in args.step or ():
        # The link's rate changes under the running stream.
        threading.Timer(at, change_rate, (mbit,)).start()
    read = ask_one_at_a_time if args.on_request else read_autosend
    packets, replies, sent, order, extra = read(app, args, start, end)
    app.close()

    # Replies come in the order of their requests; each round trip pairs them up.
    kinds = [k for _, k in sent]
    codes = [5 if k == "query" else 2 for k in kinds][: len(replies)]
    in_order = codes == [c for _, c in replies]
    rtts = [(got, got - sent[i][0]) for i, (got, code) in enumerate(replies) if code == 5]
    decoder = av.CodecContext.create("vp9", "r")
    frames, undecodable, unnumbered, key_frames = [], 0, 0, 0
    for got, packet in packets:
        try:
            decoded = decoder.decode(av.Packet(packet))
        except av.error.FFmpegError:
            undecodable += 1
            continue
        for f in decoded:
            key_frames += f.key_frame
            n = read_number(f.to_ndarray(format="gray"), BLOCK)
            if n is None:
                unnumbered += 1
            else:
                frames.append((n, got, len(packet) + 5))
    print(json.dumps({
        "asked": asked, "start": start, "end": end, "idle_rtt": sorted(idle)[len(idle) // 2],
        "frames": frames, "rtts": rtts, "replies_in_order": in_order,
        "undecodable": undecodable, "unnumbered": unnumbered, "key_frames": key_frames,
        "packets": len(packets),
        "codes": sorted(set(order)),
        "sent": len(sent), "replies": len(replies), **extra,
    }))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--pull", action="store_true")
    p.add_argument("--seconds", type=float, default=20.0)
    p.add_argument("--mbps", type=float, default=2.0)
    p.add_argument("--stall", type=float, nargs=2, metavar=("AT", "LENGTH"))
    p.add_argument("--rcvbuf", type=int, default=0)
    p.add_argument("--on-request", action="store_true")
    p.add_argument("--step", type=float, nargs=2, metavar=("AT", "MBIT"), action="append",
                   help="change the shaped link's rate to MBIT Mbit/s AT seconds into the stream")
    p.add_argument("--app", dest="port", type=int)
    args = p.parse_args()
    if args.port:
        run_app(args)
    else:
        # The server's log lines stay out of the JSON on stdout.
        with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
            serve(args)


if __name__ == "__main__":
    main()
