import time

import pytest

from tavrel import tav_core
from tavrel.tav_base import TavBase


class Host(TavBase):
    """A host that keeps TavBase's harmless defaults."""


def wait_until(condition, timeout=10.0, interval=0.01):
    """Polls `condition` until it holds or `timeout` seconds pass; returns its last result."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(interval)


@pytest.fixture
def server():
    """Factory of TavServer objects; every server made is stopped at the end of the test."""
    made = []

    def make(tavbase=None, event_mode=tav_core.TavServer.EVENTMODE_PUSH, **kwargs):
        srv = tav_core.TavServer("Test", (1, 0, 0), tavbase or Host(), event_mode, **kwargs)
        made.append(srv)
        return srv

    yield make
    for srv in made:
        srv.stop_serving()
        assert wait_until(lambda: not (srv.is_serving or srv.is_stopping or srv.is_starting))
