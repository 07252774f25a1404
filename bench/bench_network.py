"""Streaming over links slower and faster than the stream, as users meet them: the app asks
2 Mbit/s at 30 fps with autosend over a loopback shaped to a rate (a private network namespace with
a deep token-bucket queue, see tests/shaped_link.py), in push and in pull mode, with each TCP
congestion control a host may run (CUBIC: Windows and macOS; BBR or CUBIC: Linux), every case
repeated and every run counted: a target holds only when the worst run meets it. Each picture
carries its frame number, so its latency (the host getter's return to its packet complete at the
app) is exact whatever frames were skipped.

Cases: links of 0.3, 0.5, 1, 2 and 4 Mbit/s; `down`, 4 Mbit/s stepping to 1 at 6 s; `up`, 1 stepping
to 4 at 6 s; `wander`, a rate changed every 2 s between 0.6 and 1.5 Mbit/s.

Per run: time to the first picture (from the start request), over the steady part (after the first
3 s) video latency p50/p99/max, the longest gap between pictures, reply round trip p95 (a query
every 250 ms), frames per second, the bit rate delivered and its share of the link's mean rate; for
`down`, how long after the step the picture the app shows takes to stay younger than 250 ms (a gap
counts as much as a late picture) and the bit rate delivered 1-3 s after it; for `up`, how long
after the step until 0.5 s of pictures carry 1.8 Mbit/s; in pull mode the longest
execute_pending_events beyond the host's own work. The baseline of a latency is the link's floor:
one frame's bytes at the link rate plus the idle round trip. Printed: each figure's min / median /
max over the runs and whether every run met its target.

    .venv/bin/python bench/bench_network.py [--quick] [--runs N] [--cc cubic,bbr]
                                            [--mode push,pull] [CASE...]
        --quick: one 10-s run per case; CASE: 0.3 0.5 1 2 4 down up wander (all by default).
        All of it takes about 40 minutes (8 cases, 2 controls, 2 modes, 5 runs of 12 s).
"""

import json
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
TESTS = os.path.join(os.path.dirname(HERE), "tests")
sys.path.insert(0, TESTS)

from common import percentile  # noqa: E402
from shaped_link import CONTROLS, run_shaped, unavailable  # noqa: E402

ASKED = 2.0
STEP_AT = 6.0
WANDER = [1.0, 0.6, 1.5, 0.8, 1.2, 0.6, 1.4, 0.9, 1.5, 0.7]  # Mbit/s, each for 2 s
# Case -> the link's rate over time: [(from second, Mbit/s), ...].
CASES = {
    "0.3": [(0, 0.3)], "0.5": [(0, 0.5)], "1": [(0, 1.0)], "2": [(0, 2.0)], "4": [(0, 4.0)],
    "down": [(0, 4.0), (STEP_AT, 1.0)],
    "up": [(0, 1.0), (STEP_AT, 4.0)],
    "wander": [(2 * i, r) for i, r in enumerate(WANDER)],
}
SECONDS = 12.0
QUICK_SECONDS = 10.0
RUNS = 5
SETTLE = 3.0  # seconds after the start that are not the steady part
QUIET = 0.25  # a latency under this is a picture that is live
UP_RATE = 1.8  # Mbit/s the stream reaches after the step up


def session(case, pull, seconds, cc):
    schedule = CASES[case]
    argv = [sys.executable, os.path.join(TESTS, "link_scenario.py"), "--seconds", str(seconds),
            "--mbps", str(ASKED)] + (["--pull"] if pull else [])
    for at, mbit in schedule[1:]:
        if at < seconds:
            argv += ["--step", str(at), str(mbit)]
    r = run_shaped(schedule[0][1], argv, timeout=seconds + 120, cc=cc)
    if r.returncode != 0:
        raise RuntimeError(f"link scenario failed: {r.stderr[-2000:]}")
    return json.loads(r.stdout)


def mean_rate(schedule, since, until):
    """The link's mean rate (Mbit/s) from `since` to `until` s into the stream."""
    edges = [at for at, _ in schedule[1:]] + [float("inf")]
    total = sum(max(0.0, min(until, end) - max(since, at)) * rate
                for (at, rate), end in zip(schedule, edges))
    return total / (until - since)


def figures(d, schedule):
    """The figures of one run (see the module's docstring)."""
    since = d["start"] + SETTLE
    span = d["end"] - since
    lat = [x for t, x in d["latencies"] if t >= since]
    frames = [f for f in d["frames"] if f[1] >= since]
    arrivals = [f[1] for f in frames]
    rtts = [x for t, x in d["rtts"] if t >= since]
    sizes = sorted(f[2] for f in frames)
    link = mean_rate(schedule, SETTLE, d["end"] - d["start"])
    floor = (sizes[len(sizes) // 2] * 8 / (link * 1e6) if sizes else 0) + d["idle_rtt"]
    q = (lambda p: percentile(lat, p)) if lat else (lambda p: float("inf"))
    mbps = sum(f[2] for f in frames) * 8 / span / 1e6
    return {
        "first": d["frames"][0][1] - d["asked"] if d["frames"] else float("inf"),
        "p50": q(0.5), "p99": q(0.99), "max": max(lat, default=float("inf")),
        "gap": max((b - a for a, b in zip(arrivals, arrivals[1:])), default=float("inf")),
        "fps": len(frames) / span,
        "mbps": mbps,
        "use": mbps / min(link, ASKED),
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


def reached(d, at, mbps, window=0.5):
    """Seconds from the step at `at` until the pictures of `window` s carry `mbps`: never when
    they do not."""
    step = d["start"] + at
    after = [(t, size) for _, t, size in d["frames"] if t >= step]
    for i, (t, _) in enumerate(after):
        carried = sum(size for u, size in after[i:] if u < t + window)
        if carried * 8 / window / 1e6 >= mbps:
            return t - step
    return float("inf")


# Targets by case and figure: (text, bound); a negative bound is met from below.
LIVE = {"first": ("<= 1 s", 1.0), "max": ("<= 0.25 s", 0.25), "p99": ("<= 0.1 s", 0.1),
        "reply_p95": ("<= 0.1 s", 0.1), "fps": (">= 24", -24), "use": (">= 0.85", -0.85)}
TARGETS = {
    "0.3": {**LIVE, "fps": (">= 15", -15)}, "0.5": LIVE, "1": LIVE, "2": LIVE,
    "4": {"first": ("<= 1 s", 1.0), "fps": (">= 29", -29), "mbps": (">= 1.8", -1.8),
          "p99": ("<= 0.05 s", 0.05)},
    "down": {"first": ("<= 1 s", 1.0), "recovery": ("<= 1 s", 1.0),
             "mbps_after": (">= 0.75", -0.75)},
    "up": {"first": ("<= 1 s", 1.0), "reach": ("<= 3 s", 3.0)},
    "wander": {"first": ("<= 1 s", 1.0), "max": ("<= 0.25 s", 0.25), "use": (">= 0.75", -0.75)},
}
NAMES = [("first", "time to first picture (s)"), ("p50", "video latency p50 (s)"),
         ("p99", "video latency p99 (s)"), ("max", "video latency max (s)"),
         ("gap", "longest gap between pictures (s)"), ("reply_p95", "reply round trip p95 (s)"),
         ("fps", "frames per second"), ("mbps", "delivered Mbit/s"),
         ("use", "delivered share of the link"),
         ("recovery", "after the step down: until latency stays low (s)"),
         ("mbps_after", "after the step down: delivered Mbit/s 1-3 s after it"),
         ("reach", f"after the step up: until {UP_RATE} Mbit/s (s)"),
         ("pull", "longest execute_pending_events beyond host work (s)")]


def met(value, bound):
    """Whether `value` meets a bound: a positive one from above, a negative one from below."""
    return value <= bound if bound >= 0 else value >= -bound


def run_case(case, pull, cc, runs, seconds):
    """The figures of `runs` runs of one case."""
    out = []
    for _ in range(runs):
        d = session(case, pull, seconds, cc)
        f = figures(d, CASES[case])
        if case == "down":
            f["recovery"] = recovery(d, STEP_AT)
            f["mbps_after"] = delivered_after(d, STEP_AT, 1.0, 3.0)
        if case == "up":
            f["reach"] = reached(d, STEP_AT, UP_RATE)
        out.append(f)
    return out


def rows_of(case, mode, cc, runs):
    """One row a figure: (name, worst run, baseline, ratio, target with the spread)."""
    name = f"network {case}{'' if case in ('down', 'up', 'wander') else ' Mbit/s'} {mode} {cc}:"
    targets = TARGETS.get(case, {})
    rows = []
    for fig, text in NAMES:
        values = [f[fig] for f in runs if f.get(fig) is not None]
        if not values:
            continue
        target = targets.get(fig)
        lower_better = target is None or target[1] >= 0
        worst = max(values) if lower_better else min(values)
        baseline = statistics.median(f["floor"] for f in runs) if fig in (
            "p50", "p99", "max", "reply_p95") else 0
        spread = (f"{min(values):.3g}/{statistics.median(values):.3g}/{max(values):.3g} over "
                  f"{len(values)} runs")
        if target:
            missed = sum(not met(v, target[1]) for v in values)
            verdict = f"{target[0]} {'ok' if not missed else f'MISSED in {missed}'}; {spread}"
        else:
            verdict = f"reported; {spread}"
        rows.append((f"{name} {text}", worst, baseline, worst / baseline if baseline else 0,
                     verdict))
    unsound = sum(not f["sound"] for f in runs)
    if unsound:
        rows.append((f"{name} STREAM NOT SOUND (order, decoding or numbers) in {unsound} runs", 1,
                     0, 0, "never"))
    return rows


def run(quick=None, cases=None, runs=None, controls=CONTROLS, modes=("push", "pull")):
    if quick is None:
        quick = os.environ.get("TAVREL_BENCH_QUICK")
    seconds = QUICK_SECONDS if quick else SECONDS
    runs = runs or (1 if quick else RUNS)
    rows = []
    for cc in controls:
        reason = unavailable(cc)
        if reason:
            rows.append((f"network {cc}: skipped, {reason}", 0, 0, 0, None))
            continue
        for case in cases or CASES:
            for mode in modes:
                figs = run_case(case, mode == "pull", cc, runs, seconds)
                case_rows = rows_of(case, mode, cc, figs)
                rows += case_rows
                for r in case_rows:  # as it goes: a whole run takes an hour
                    print(f"  {r[0]} {r[1]:.4g}  {r[4]}", file=sys.stderr, flush=True)
    return rows


def main(argv):
    opts = {"cases": []}
    args = iter(argv)
    for a in args:
        if a == "--quick":
            opts["quick"] = True
        elif a == "--runs":
            opts["runs"] = int(next(args))
        elif a == "--cc":
            opts["controls"] = next(args).split(",")
        elif a == "--mode":
            opts["modes"] = next(args).split(",")
        elif a in CASES:
            opts["cases"].append(a)
        else:
            raise SystemExit(__doc__)
    for name, value, baseline, ratio, target in run(**opts):
        print(f"{name:80} {value:10.4g} {baseline:10.4g} {ratio:8.2f}  {target or 'reported'}",
              flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
