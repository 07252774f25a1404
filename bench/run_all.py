"""Runs every benchmark of the project and prints one table: figure, same-run baseline, ratio,
target. Not part of the test suite."""

import importlib
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from common import print_table  # noqa: E402

MODULES = ["bench_dispatch", "bench_protocol", "bench_encoder", "bench_frames", "bench_screenshot"]


def main():
    rows = []
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ModuleNotFoundError as e:
            if e.name != name:
                raise
            continue
        print(f"running {name} ...", file=sys.stderr, flush=True)
        rows.extend(module.run())
    print_table(rows)


if __name__ == "__main__":
    main()
