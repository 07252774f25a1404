"""Streaming over links slower and faster than the stream: the app asks 2 Mbit/s at 30 fps with
autosend over a loopback shaped to 300 kbit/s, 500 kbit/s, 1 Mbit/s and 4 Mbit/s, and over one
that steps from 4 to 1 Mbit/s 8 s into the stream (a private network namespace, see
tests/shaped_link.py), in push and in pull mode. Each picture carries its frame number, so its
latency (the host getter's return to its packet complete at the app) is exact whatever frames were
skipped.

Per run: time to the first picture (from the start request), over the steady part (after the first
3 s) video latency p50/p95/p99/max, the longest gap between pictures, reply round trip p95 (a query
every 250 ms), frames per second and bit rate delivered; for the step, how long after it the
picture the app shows takes to stay younger than 250 ms (a gap counts as much as a late picture)
and the bit rate delivered 1-2 s after it (how soon the stream uses the slower link again);
in pull mode the longest execute_pending_events beyond the host's own work. The baseline of a
latency is the link's floor: one frame's bytes at the link rate plus the idle round trip.

    .venv/bin/python bench/bench_network.py [--quick] [LINK...]
        --quick: 10 s per run instead of 20; LINK: 0.3 0.5 1 4 step (all by default)
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
STEP = (4.0, 8.0, 1.0)  # from 4 Mbit/s, at 8 s, to 1 Mbit/s
LINKS = {"0.3": 0.3, "0.5": 0.5, "1": 1.0, "4": 4.0, "step": STEP}
SECONDS = 20.0
QUICK_SECONDS = 10.0
SETTLE = 3.0  # seconds after the start that are not the steady part
QUIET = 0.25  # a latency under this is a picture that is live


def session(link, pull, seconds):
    argv = [sys.executable, os.path.join(TESTS, "link_scenario.py"), "--seconds", str(seconds),
            "--mbps", str(ASKED)] + (["--pull"] if pull else [])
    rate = link
    if isinstance(link, tuple):
        rate, at, to = link
        argv += ["--step", str(at), str(to)]
    r = run_shaped(rate, argv, timeout=seconds + 120)
    if r.returncode != 0:
        raise RuntimeError(f"link scenario failed: {r.stderr[-2000:]}")
    return json.loads(r.stdout)


def figures(d, rate):
    """The figures of one run (see the module's docstring); `rate` is the link's final rate."""
    since = d["start"] + SETTLE
    span = d["end"] - since
    lat = [x for t, x in d["latencies"] if t >= since]
    frames = [f for f in d["frames"] if f[1] >= since]
    arrivals = [f[1] for f in frames]
    rtts = [x for t, x in d["rtts"] if t >= since]
    sizes = sorted(f[2] for f in frames)
    floor = (sizes[len(sizes) // 2] * 8 / (rate * 1e6) if sizes else 0) + d["idle_rtt"]
    q = (lambda p: percentile(lat, p)) if lat else (lambda p: float("inf"))
    return {
        "first": d["frames"][0][1] - d["asked"] if d["frames"] else float("inf"),
        "p50": q(0.5), "p95": q(0.95), "p99": q(0.99), "max": max(lat, default=float("inf")),
        "gap": max((b - a for a, b in zip(arrivals, arrivals[1:])), default=float("inf")),
        "fps": len(frames) / span,
        "mbps": sum(f[2] for f in frames) * 8 / span / 1e6,
        "reply_p95": percentile(rtts, 0.95) if rtts else float("inf"),
        "floor": floor,
        "pull": d["longest_pull"],
        "sound": d["replies_in_order"] and not d["undecodable"] and not d["unnumbered"],
    }


def recovery(d, at):
    """Seconds from the step at `at` until the picture the app shows stays younger than QUIET:
    a late picture counts, and so does a gap (or the run's end) that let the one shown grow older
    than QUIET. No picture after the step: never."""
    step = d["start"] + at
    shown = [(t, t - x) for t, x in d["latencies"]]  # (arrival, getter return), as they came
    if not any(t >= step for t, _ in shown):
        return float("inf")
    # The picture shown is oldest just before the next one replaces it.
    ends = [t for t, _ in shown[1:]] + [d["end"]]
    late = [t for (_, made), t in zip(shown, ends) if t >= step and t - made > QUIET]
    return max(late) - step if late else 0.0


def delivered_after(d, at, since, until):
    """Mbit/s delivered in pictures that came from `since` to `until` s after the step at `at`."""
    step = d["start"] + at
    sizes = [size for _, t, size in d["frames"] if step + since <= t < step + until]
    return sum(sizes) * 8 / (until - since) / 1e6


# Targets per link, by figure: (text, test of the value).
TARGETS = {
    "0.5": {"first": ("<= 1 s", 1.0), "p99": ("<= 0.15 s", 0.15), "max": ("<= 0.25 s", 0.25),
            "reply_p95": ("<= 0.15 s", 0.15), "fps": (">= 24", -24)},
    "0.3": {"p95": ("<= 0.15 s", 0.15), "fps": (">= 15", -15), "reply_p95": ("<= 0.2 s", 0.2)},
    "step": {"recovery": ("<= 1 s", 1.0)},
    "4": {"fps": (">= 29", -29), "mbps": (">= 1.8", -1.8), "p99": ("<= 0.05 s", 0.05)},
}
NAMES = [("first", "time to first picture (s)"), ("p50", "video latency p50 (s)"),
         ("p95", "video latency p95 (s)"), ("p99", "video latency p99 (s)"),
         ("max", "video latency max (s)"), ("gap", "longest gap between pictures (s)"),
         ("reply_p95", "reply round trip p95 (s)"), ("fps", "frames per second"),
         ("mbps", "delivered Mbit/s"), ("recovery", "after the step: until latency stays low (s)"),
         ("mbps_after", "after the step: delivered Mbit/s 1-2 s after it")]


def met(value, bound):
    """Whether `value` meets a bound: a positive one from above, a negative one from below."""
    return value <= bound if bound >= 0 else value >= -bound


def rows_of(key, mode, f):
    name = f"network {key if key == 'step' else key + ' Mbit/s'} {mode}:"
    targets = TARGETS.get(key, {})
    rows = []
    for fig, text in NAMES:
        if fig not in f:
            continue
        value = f[fig]
        target = targets.get(fig)
        baseline = f["floor"] if fig in ("p50", "p95", "p99", "max", "reply_p95") else (
            30 if fig == "fps" else ASKED if fig == "mbps" else
            STEP[2] if fig == "mbps_after" else 0)
        ratio = value / baseline if baseline else 0
        mark = "" if not target else " ok" if met(value, target[1]) else " MISSED"
        rows.append((f"{name} {text}", value, baseline, ratio,
                     (target[0] + mark) if target else None))
    if f["pull"] is not None:
        rows.append((f"{name} longest execute_pending_events beyond host work (s)", f["pull"], 0,
                     0, None))
    if not f["sound"]:
        rows.append((f"{name} STREAM NOT SOUND (order, decoding or numbers)", 1, 0, 0, "never"))
    return rows


def run(quick=None, keys=None):
    if quick is None:
        quick = "--quick" in sys.argv or os.environ.get("TAVREL_BENCH_QUICK")
    seconds = QUICK_SECONDS if quick else SECONDS
    reason = unavailable()
    if reason:
        return [(f"network: skipped, {reason}", 0, 0, 0, None)]
    rows = []
    for key in keys or LINKS:
        link = LINKS[key]
        step = isinstance(link, tuple)
        # The step run needs its last seconds after the step, however short the others.
        length = max(seconds, 2 * link[1]) if step else seconds
        for pull in (False, True):
            d = session(link, pull, length)
            f = figures(d, link[2] if step else link)
            if step:
                f["recovery"] = recovery(d, link[1])
                f["mbps_after"] = delivered_after(d, link[1], 1.0, 2.0)
            rows += rows_of(key, "pull" if pull else "push", f)
    return rows


if __name__ == "__main__":
    keys = [a for a in sys.argv[1:] if not a.startswith("--")] or None
    for name, value, baseline, ratio, target in run(keys=keys):
        print(f"{name:72} {value:10.4g} {baseline:10.4g} {ratio:8.2f}  {target or 'reported'}",
              flush=True)
