"""Phones that vanish and come back, cycle after cycle (tests/vanishing_phone.py, in a private
network namespace): per event mode, the time from a phone's blackholing to the next phone being
served (baseline: the keepalive's own limit, 6 s idle + 3 probes 3 s apart), the takeover time of
a returning phone, and what the server's process holds after the first and after the last cycle
(threads, descriptors: nothing may grow; worker processes and frame blocks: none left). Push and
pull mode with an idle phone, and push mode with a phone that vanishes while it streams. Takes
about 16 s a cycle; run on request, not by run_all.py.

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python bench/bench_dead_peer.py \
        [--cycles N] [--stream-cycles M]
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from common import Row, percentile, print_table  # noqa: E402
import vanishing_phone  # noqa: E402

KEEPALIVE_LIMIT = 6 + 3 * 3  # seconds: platform/socket_options.hpp


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cycles", type=int, default=20)
    p.add_argument("--stream-cycles", type=int, default=5,
                   help="cycles in which the phone vanishes while streaming (push mode)")
    args = p.parse_args()
    if vanishing_phone.unavailable():
        sys.exit(f"bench_dead_peer: {vanishing_phone.unavailable()}")
    rows = []
    runs = [("push", ["--cycles", str(args.cycles)]),
            ("pull", ["--cycles", str(args.cycles), "--pull"]),
            ("streaming", ["--cycles", str(args.stream_cycles), "--stream"])]
    for mode, flags in runs:
        cycles = int(flags[1])
        if cycles <= 0:
            continue
        r = vanishing_phone.run_isolated([sys.executable, vanishing_phone.__file__, *flags],
                                         timeout=60 + 40 * cycles)
        if r.returncode != 0:
            sys.exit(f"bench_dead_peer: the scenario failed:\n{r.stderr[-3000:]}")
        d = json.loads(r.stdout.splitlines()[-1])
        noticed, takeover = d["noticed"], d["takeover"]
        rows.append(Row(f"{mode}: vanished phone noticed, p50", percentile(noticed, 0.5),
                        KEEPALIVE_LIMIT, "s", "about 1 (< 30 s)"))
        rows.append(Row(f"{mode}: vanished phone noticed, max", max(noticed), KEEPALIVE_LIMIT,
                        "s", "about 1 (< 30 s)"))
        rows.append(Row(f"{mode}: returning phone served, max", max(takeover), 3.0, "s",
                        "< 1"))
        first, last = d["resources"][0], d["resources"][-1]
        for name in ("threads", "descriptors"):
            rows.append(Row(f"{mode}: {name} after cycle {cycles} vs cycle 1", last[name],
                            first[name], "", "1 (no growth)"))
        left = max(r[name] for r in d["resources"] for name in ("workers", "blocks"))
        rows.append(Row(f"{mode}: workers or frame blocks left after any cycle", left, 1, "",
                        "0"))
    print_table(rows)


if __name__ == "__main__":
    main()
