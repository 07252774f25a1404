"""Runs every benchmark of the project and prints one table: figure, same-run baseline, ratio,
target. Not part of the test suite.

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python bench/run_all.py
"""

import contextlib
import importlib
import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import Row, print_table  # noqa: E402

MODULES = ["bench_dispatch", "bench_protocol", "bench_encoder", "bench_frames", "bench_screenshot",
           "bench_network", "bench_blender"]
MODULES.append("bench_launch")
MODULES.append("bench_wine_encoder")
MODULES.append("bench_windows")


class _GivenRatio(Row):
    """A row whose module computed its own ratio (for figures where lower is better, it is
    baseline / value)."""

    def __init__(self, name, value, baseline, ratio, target):
        super().__init__(name, value, baseline, "  ", _target_text(target))
        self._ratio = ratio

    @property
    def ratio(self):
        return self._ratio


def _target_text(target):
    if target is None:
        return "reported"
    if isinstance(target, (int, float)):
        return f"<= {target:g}x"  # a bare number bounds the ratio from above
    return str(target)


def as_row(row):
    """Modules return Rows, or tuples (name, value, baseline, ratio, target)."""
    return row if isinstance(row, Row) else _GivenRatio(*row)


def main():
    rows = []
    for name in MODULES:
        print(f"running {name} ...", file=sys.stderr, flush=True)
        module = importlib.import_module(name)
        # The servers' log lines go to stdout, from their own threads too: only the table does.
        with contextlib.redirect_stdout(io.StringIO()):
            rows.extend(as_row(r) for r in module.run())
    print_table(rows)


if __name__ == "__main__":
    main()
