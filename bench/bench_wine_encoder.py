"""Encoder frames per second of the Windows worker under Wine against the Linux worker, same frames,
same run.

The native test program's stream run (tests/native, `--stream source=pattern`), built for Linux and
cross-built for Windows from the same sources, feeds frames of a moving pattern (1280x720 "rgba")
through the frame block to the core's encoder loop in a spawned worker, one frame per wake-up,
as fast as the worker takes them. A Linux listener counts the video packet messages as they
arrive: frames per second from the first packet to the last, so that start-up (Wine's included)
is left out. Each build runs twice, alternating; the better run counts.

    .venv/bin/python bench/bench_wine_encoder.py [frames]
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from common import Row, print_table  # noqa: E402
from native_stream import build, command, run_stream  # noqa: E402

WIDTH, HEIGHT, MBPS = 1280, 720, 4
LIMIT = 300
ROUNDS = 2


def encoder_fps(target, build_dir, frames):
    run = run_stream(command(target, build_dir, LIMIT), LIMIT, screen=target == "windows",
                     source="pattern", frames=frames, width=WIDTH, height=HEIGHT, mbps=MBPS)
    if run.returncode != 0 or len(run.packets) != frames:
        raise RuntimeError(f"the {target} stream run failed ({len(run.packets)} of {frames} "
                           f"packets):\n{run.output}")
    return run.packets_per_second()


def run(frames=300):
    builds = {"linux": build(), "windows": build("--windows")}
    best = {target: 0.0 for target in builds}
    for _ in range(ROUNDS):
        for target, build_dir in builds.items():
            best[target] = max(best[target], encoder_fps(target, build_dir, frames))
    print(f"encoder {WIDTH}x{HEIGHT}, {frames} frames: Linux {best['linux']:.1f} frames/s, "
          f"Windows under Wine {best['windows']:.1f} frames/s", file=sys.stderr)
    return [Row(f"encoder frames/s {WIDTH}x{HEIGHT}, Wine worker vs Linux",
                best["windows"], best["linux"], "  ", "reported")]


if __name__ == "__main__":
    print_table(run(*(int(a) for a in sys.argv[1:2])))
