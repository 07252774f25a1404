"""Streaming over a link slower than, as fast as and faster than the stream: the app asks 2 Mbit/s
at 30 fps with autosend over a loopback shaped to 1, 2 and 4 Mbit/s (a private network namespace,
see tests/shaped_link.py), in push and in pull mode. Per link: video latency p50/p95 over the last
15 s and its trend, frames per second and bit rate delivered, reply round trip p95 (a query every
250 ms) and, in pull mode, the longest execute_pending_events beyond the host's own work. The
baseline of a latency is the link's floor: one frame's bytes at the link rate plus the idle round
trip.

    .venv/bin/python bench/bench_network.py [--quick]     # --quick: 6 s per link instead of 20
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
TESTS = os.path.join(os.path.dirname(HERE), "tests")
sys.path.insert(0, TESTS)

from common import percentile  # noqa: E402
from shaped_link import run_shaped, unavailable  # noqa: E402

ASKED = 2.0
LINKS = (1.0, 2.0, 4.0)
SECONDS = 20.0
QUICK_SECONDS = 6.0


def session(link, pull, seconds):
    argv = [sys.executable, os.path.join(TESTS, "link_scenario.py"), "--seconds", str(seconds),
            "--mbps", str(ASKED)] + (["--pull"] if pull else [])
    r = run_shaped(link, argv, timeout=seconds + 120)
    if r.returncode != 0:
        raise RuntimeError(f"link scenario failed: {r.stderr[-2000:]}")
    return json.loads(r.stdout)


def trend(points):
    """Least-squares slope of (t, y) points."""
    n = len(points)
    if n < 2:
        return 0.0
    mt = sum(t for t, _ in points) / n
    my = sum(y for _, y in points) / n
    var = sum((t - mt) ** 2 for t, _ in points)
    return sum((t - mt) * (y - my) for t, y in points) / var if var else 0.0


def figures(d, link):
    """The figures of one session over its last three quarters (the last 15 s of 20)."""
    length = d["end"] - d["start"]
    since = d["end"] - length * 0.75
    span = d["end"] - since
    lat = [(t, x) for t, x in d["latencies"] if t >= since]
    frames = [f for f in d["frames"] if f[1] >= since]
    rtts = [x for t, x in d["rtts"] if t >= since]
    sizes = sorted(f[2] for f in frames)
    floor = (sizes[len(sizes) // 2] * 8 / (link * 1e6) if sizes else 0) + d["idle_rtt"]
    return {
        "p50": percentile([x for _, x in lat], 0.5) if lat else float("inf"),
        "p95": percentile([x for _, x in lat], 0.95) if lat else float("inf"),
        "trend": trend(lat) * 1000,  # ms per s
        "fps": len(frames) / span,
        "mbps": sum(f[2] for f in frames) * 8 / span / 1e6,
        "reply_p95": percentile(rtts, 0.95) if rtts else float("inf"),
        "floor": floor,
        "pull": d["longest_pull"],
        "sound": d["replies_in_order"] and not d["undecodable"] and not d["unnumbered"],
    }


def run(quick=None):
    if quick is None:
        quick = "--quick" in sys.argv or os.environ.get("TAVREL_BENCH_QUICK")
    seconds = QUICK_SECONDS if quick else SECONDS
    reason = unavailable()
    if reason:
        return [(f"network: skipped, {reason}", 0, 0, 0, None)]
    rows = []
    # Pull mode's execute_pending_events on an unshaped loopback: what the host pays anyway.
    base_pull = figures(session(None, True, QUICK_SECONDS), 100.0)["pull"]
    for link in LINKS:
        x = link / ASKED
        for pull in (False, True):
            f = figures(session(link, pull, seconds), link)
            mode = "pull" if pull else "push"
            name = f"network {link:g} Mbit/s ({x:g}x) {mode}:"
            slow = x < 1
            rows += [
                (f"{name} video latency p50 (s)", f["p50"], f["floor"], f["p50"] / f["floor"],
                 None),
                (f"{name} video latency p95 (s)", f["p95"], f["floor"], f["p95"] / f["floor"],
                 "<= 0.25 s" if slow else None),
                (f"{name} latency trend (ms/s)", f["trend"], 0, 0, "|x| <= 5" if slow else None),
                (f"{name} frames per second", f["fps"], 30, f["fps"] / 30,
                 ">= 24" if slow else ">= 29" if x >= 2 else None),
                (f"{name} delivered Mbit/s", f["mbps"], ASKED, f["mbps"] / ASKED,
                 ">= 0.9x" if x >= 2 else None),
                (f"{name} reply round trip p95 (s)", f["reply_p95"], f["floor"],
                 f["reply_p95"] / f["floor"], "<= 0.15 s" if slow else None),
            ]
            if pull:
                rows.append((f"{name} longest execute_pending_events beyond host work (s)",
                             f["pull"], base_pull, f["pull"] / base_pull if base_pull else 0,
                             "<= baseline + 0.005 s"))
            if not f["sound"]:
                rows.append((f"{name} STREAM NOT SOUND (order, decoding or numbers)", 1, 0, 0,
                             "never"))
    return rows


if __name__ == "__main__":
    for name, value, baseline, ratio, target in run():
        print(f"{name:70} {value:10.4g} {baseline:10.4g} {ratio:8.2f}  {target or 'reported'}")
