"""Shared pieces of the benchmarks: timing, percentiles and the result table."""

import time
from dataclasses import dataclass


@dataclass
class Row:
    name: str
    value: float  # the measured figure
    baseline: float  # the same-run baseline it is compared with
    unit: str
    target: str  # what the ratio value / baseline must meet

    @property
    def ratio(self):
        return self.value / self.baseline if self.baseline else float("inf")


def per_call(fn, n):
    """Seconds per call of fn(), best of three runs of n calls."""
    best = float("inf")
    for _ in range(3):
        t = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - t) / n)
    return best


def percentile(samples, q):
    s = sorted(samples)
    return s[min(len(s) - 1, int(q * len(s)))]


def print_table(rows):
    print(f"{'figure':52} {'value':>12} {'baseline':>12} {'ratio':>8}  target")
    for r in rows:
        print(f"{r.name:52} {r.value:>10.3g}{r.unit:>2} {r.baseline:>10.3g}{r.unit:>2} "
              f"{r.ratio:>8.2f}  {r.target}")
