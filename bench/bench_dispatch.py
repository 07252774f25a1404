"""Cost of delivering a host operation: push and pull mode, against an empty Python call."""

import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

from common import Row, per_call, print_table  # noqa: E402
from tavrel import tav_core  # noqa: E402
from tavrel.tav_base import TavBase  # noqa: E402

N = 20000


def noop(*args):
    pass


def run():
    import contextlib
    import io

    with contextlib.redirect_stdout(io.StringIO()):
        push = tav_core.TavServer("Bench", (1, 0, 0), TavBase(), tav_core.TavServer.EVENTMODE_PUSH)
        pull = tav_core.TavServer("Bench", (1, 0, 0), TavBase(), tav_core.TavServer.EVENTMODE_PULL)
        pull.start_serving(0)
        for _ in range(10):
            pull.execute_pending_events()
    base = per_call(noop, N)

    def pull_delivery():
        pull._async_callback(noop)
        pull.execute_pending_events()

    rows = [
        Row("push delivery (request to host call)", per_call(lambda: push._async_callback(noop), N),
            base, "s", "reported"),
        Row("pull delivery (request, then execute_pending_events)", per_call(pull_delivery, N),
            base, "s", "reported"),
        Row("execute_pending_events on an empty queue", per_call(pull.execute_pending_events, N),
            base, "s", "reported"),
    ]
    with contextlib.redirect_stdout(io.StringIO()):
        pull.stop_serving()
        while pull.is_event_loop_running:
            pull.execute_pending_events()
    return rows


if __name__ == "__main__":
    print_table(run())
