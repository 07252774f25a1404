"""Encoder throughput: the encoder worker against FFmpeg's command-line encoder, same run.

Both encode the same 1280x720 RGBA frames (a moving pattern) to 720x405 VP9 at 2 Mbit/s with the
same real-time settings. The worker runs in-process through `_ep` and is fed as fast as it takes
frames: write the frame into the shared block, signal it, wait for its packet. FFmpeg reads the
raw frames from a pipe and discards its output. The best of a few alternating rounds counts, since
the machine is shared.

The streams are also compared packet by packet with FFmpeg's at `-speed 15` and at `-speed 8`: equal
to the first and different from the second shows that the worker's speed setting takes effect
(libvpx clamps 15 to its fastest speed).

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python bench/bench_encoder.py [frames]
"""

import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

import numpy as np

from tavrel import tav_core

WIDTH, HEIGHT = 1280, 720
OUTPUT = (720, 405)
FRAMERATE, BITRATE = 30.0, 2.0
TARGET = 0.9
ROUNDS = 3
DISTINCT_FRAMES = 60  # the pattern repeats every 2 s of video


def pattern(count):
    """`count` frames of a scene that moves: gradients, a sliding grid, a travelling box."""
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    frames = []
    for i in range(count):
        shift = 6 * i
        rgba = np.empty((HEIGHT, WIDTH, 4), np.uint8)
        rgba[..., 0] = ((x + shift) * 255 // WIDTH) % 256
        rgba[..., 1] = (y * 255 // HEIGHT + 2 * i) % 256
        rgba[..., 2] = (((x + shift) // 40 + y // 40) % 2) * 160 + 40
        rgba[..., 3] = 255
        bx, by = (40 + 11 * i) % (WIDTH - 200), (60 + 5 * i) % (HEIGHT - 150)
        rgba[by : by + 150, bx : bx + 200, :3] = (250, 240, 20)
        frames.append(rgba.tobytes())
    return frames


def ffmpeg_command(speed="15", output=("-f", "null", "-")):
    return [
        "ffmpeg", "-hide_banner", "-loglevel", "error",
        "-f", "rawvideo", "-pix_fmt", "rgba", "-s", f"{WIDTH}x{HEIGHT}", "-framerate", "30",
        "-i", "-",
        "-vf", f"scale={OUTPUT[0]}:{OUTPUT[1]}:flags=bilinear", "-pix_fmt", "yuv420p",
        "-c:v", "libvpx-vp9", "-b:v", "2M", "-minrate", "2M", "-maxrate", "2M",
        "-bufsize", "2M", "-rc_init_occupancy", "1M", "-color_range", "tv", "-colorspace", "bt470bg",
        "-undershoot-pct", "95", "-lag-in-frames", "0", "-deadline", "realtime", "-speed", speed,
        "-row-mt", "1", "-tile-columns", "2", "-tile-rows", "2", "-frame-parallel", "1",
        *output,
    ]  # fmt: skip


def run_ffmpeg(frames, count, speed="15", keep_stream=False):
    """Seconds FFmpeg takes for `count` frames, and its packets when `keep_stream`."""
    output = ("-f", "ivf", "pipe:1") if keep_stream else ("-f", "null", "-")
    proc = subprocess.Popen(
        ffmpeg_command(speed, output), stdin=subprocess.PIPE, stdout=subprocess.PIPE
    )

    def feed():
        for i in range(count):
            proc.stdin.write(frames[i % len(frames)])
        proc.stdin.close()

    started = time.perf_counter()
    feeder = threading.Thread(target=feed)
    feeder.start()
    stream = proc.stdout.read()
    proc.wait()
    elapsed = time.perf_counter() - started
    feeder.join()
    if proc.returncode:
        raise RuntimeError(f"ffmpeg failed with status {proc.returncode}")
    return elapsed, ivf_packets(stream) if keep_stream else None


def ivf_packets(data):
    packets, pos = [], struct.unpack_from("<H", data, 6)[0]
    while pos < len(data):
        size = struct.unpack_from("<I", data, pos)[0]
        packets.append(data[pos + 12 : pos + 12 + size])
        pos += 12 + size
    return packets


def tcp_pair():
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        app = socket.create_connection(listener.getsockname())
        server, _ = listener.accept()
    return app, server


def recv_exact(sock, size):
    data = bytearray()
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        if not chunk:
            raise EOFError("the worker closed the connection")
        data += chunk
    return bytes(data)


def run_worker(frames, count):
    """Seconds the encoder worker takes for `count` frames, fed as fast as it takes them, and its
    packets."""
    app, server_end = tcp_pair()
    socket_lock, shm_lock = tav_core._Lock(), tav_core._Lock()
    new_frame, keep = tav_core._Event(), tav_core._Event()
    keep.set()
    block = tav_core._Shm(WIDTH * HEIGHT * 4, create=True)
    args = (
        WIDTH, HEIGHT, "rgba", *OUTPUT, "yuv420p", FRAMERATE, BITRATE, False, b"\x04",
        (block.name, block.size), server_end.fileno(),
        socket_lock.share(), shm_lock.share(), new_frame.share(), keep.share(),
    )  # fmt: skip
    worker = threading.Thread(target=tav_core._ep, args=(args,))
    worker.start()
    packets = []
    try:
        started = time.perf_counter()
        for i in range(count):
            with shm_lock:
                block.buf[:] = frames[i % len(frames)]
            new_frame.set()
            code, size = struct.unpack("<BI", recv_exact(app, 5))
            packets.append(recv_exact(app, size))
        elapsed = time.perf_counter() - started
    finally:
        keep.clear()
        new_frame.set()
        worker.join()
        app.close()
        server_end.close()
        block.close()
        block.unlink()
    return elapsed, packets


def run(count=300):
    if not shutil.which("ffmpeg"):
        raise RuntimeError("the baseline needs the ffmpeg command-line program")
    frames = pattern(DISTINCT_FRAMES)
    ours, theirs = [], []
    for _ in range(ROUNDS):
        ours.append(run_worker(frames, count)[0])
        theirs.append(run_ffmpeg(frames, count)[0])
    worker_s, ffmpeg_s = min(ours), min(theirs)

    check = min(count, 60)
    _, worker_stream = run_worker(frames, check)
    _, fastest = run_ffmpeg(frames, check, "15", keep_stream=True)
    _, slower = run_ffmpeg(frames, check, "8", keep_stream=True)

    fps, base_fps = count / worker_s, count / ffmpeg_s
    ms, base_ms = 1000 * worker_s / count, 1000 * ffmpeg_s / count
    return [
        ("encoder worker frames/s", fps, base_fps, fps / base_fps, f">= {TARGET}"),
        ("encoder worker ms/frame", ms, base_ms, base_ms / ms, f">= {TARGET} (baseline/value)"),
        ("packets per frame", len(worker_stream) / check, 1.0, len(worker_stream) / check, "1"),
        ("stream equals ffmpeg -speed 15", float(worker_stream == fastest), 1.0,
         float(worker_stream == fastest), "1"),
        ("stream equals ffmpeg -speed 8", float(worker_stream == slower), 0.0,
         float(worker_stream == slower), "0"),
    ]  # fmt: skip


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    rows = run(count)
    print(f"{count} frames {WIDTH}x{HEIGHT} rgba -> {OUTPUT[0]}x{OUTPUT[1]} VP9 at {BITRATE} Mbit/s")
    print(f"{'name':34} {'value':>10} {'baseline':>10} {'ratio':>8}  target")
    for name, value, baseline, ratio, target in rows:
        print(f"{name:34} {value:10.2f} {baseline:10.2f} {ratio:8.2f}  {target}")


if __name__ == "__main__":
    main()
