"""The connection's bit-rate controller on its own, driven sample by sample through a small native
driver (tests/native/rate_controller_driver.cpp, built here against the controller's source): in a
closed loop with a simulated link whose rate the stream does not know, against traces that
isolate one rule each, and against a trace recorded on a real (shaped) link.
"""

import collections
import os
import random
import shutil
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = [os.path.join(ROOT, "tests", "native", "rate_controller_driver.cpp"),
           os.path.join(ROOT, "src", "tav_core", "net", "rate_controller.cpp")]
ASKED, FPS, TICK = 2e6, 30.0, 0.05
MIN_RTT = 0.005
BURST = 16000


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    compiler = shutil.which("c++")
    if not compiler:
        pytest.skip("no C++ compiler")
    exe = str(tmp_path_factory.mktemp("rate") / "driver")
    subprocess.run([compiler, "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-I",
                    os.path.join(ROOT, "src", "tav_core"), *SOURCES, "-o", exe],
                   check=True, timeout=120)
    return exe


class Controller:
    """One controller in the driver process: step() sends a sample and returns the target."""

    def __init__(self, exe, asked=ASKED, fps=FPS):
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.proc.stdin.write(f"{asked} {fps}\n")
        self.target = float(self.proc.stdout.readline())

    def step(self, now, delivered, backlog, rtt=0.0, min_rtt=0.0, refused=False, held=0):
        self.proc.stdin.write(f"{now} {int(delivered)} {int(backlog)} {rtt} {min_rtt} "
                              f"{int(refused)} {int(held)}\n")
        self.target = float(self.proc.stdout.readline())
        return self.target

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def simulate(exe, rate_at, seconds, wifi=False):
    """A stream over a link of rate_at(t) bit/s: the encoder makes a frame every 1/FPS s of the
    current target's size (the first three times that, sizes varying by 20 %) when no more than
    one frame is undelivered (admission), the link drains the backlog. A `wifi` link is as an
    access point's: a token bucket of BURST bytes lets a burst through at once when the link
    was idle, and acknowledgements wait behind the queue on their way back (so they come
    bunched). Returns per tick (t, target, queue delay in s, link rate, bytes delivered in
    all)."""
    rc, rnd = Controller(exe), random.Random(7)
    dt = 1 / 600
    backlog = delivered = acked = tokens = 0.0
    refused, next_frame, next_tick, first = False, 0.0, TICK, True
    acks = collections.deque()  # (when it comes, bytes delivered in all)
    srtt = MIN_RTT
    out = []
    for i in range(int(seconds / dt)):
        t = i * dt
        link = rate_at(t)
        if t >= next_frame:
            next_frame += 1 / FPS
            frame = rc.target / FPS / 8
            if backlog <= frame:
                backlog += frame * (3 if first else rnd.uniform(0.8, 1.2))
                first = False
            else:
                refused = True
        srtt += (MIN_RTT + backlog * 8 / link - srtt) / 32  # smoothed as the kernel does
        tokens = min(BURST if wifi else link * dt / 8, tokens + link * dt / 8)
        sent = min(backlog, tokens)
        tokens -= sent
        backlog -= sent
        delivered += sent
        if sent:
            waits = max(0.0, backlog - tokens) * 8 / link if wifi else 0.0
            acks.append((max(t + waits, acks[-1][0] if acks else 0.0), delivered))
        while acks and acks[0][0] <= t:
            acked = acks.popleft()[1]
        if t >= next_tick:
            next_tick += TICK
            queue = max(0.0, backlog - tokens) * 8 / link
            rc.step(t, acked, backlog + delivered - acked, srtt, MIN_RTT, refused)
            refused = False
            out.append((t, rc.target, queue, link, delivered))
    rc.close()
    return out


WANDER = [1.0, 0.6, 1.5, 0.8, 1.2, 0.6, 1.4, 0.9, 1.5, 0.7]  # Mbit/s, each for 2 s
LINKS = {
    "300 kbit/s": lambda t: 0.3e6,
    "500 kbit/s": lambda t: 0.5e6,
    "1 Mbit/s": lambda t: 1e6,
    "2 Mbit/s": lambda t: 2e6,
    "4 Mbit/s": lambda t: 4e6,
    "4 to 1 Mbit/s at 8 s": lambda t: 4e6 if t < 8 else 1e6,
    "1 to 4 Mbit/s at 8 s": lambda t: 1e6 if t < 8 else 4e6,
    "wandering": lambda t: WANDER[int(t / 2) % len(WANDER)] * 1e6,
}


@pytest.mark.parametrize("wifi", [False, True], ids=["plain", "wifi"])
@pytest.mark.parametrize("name", LINKS)
def test_closed_loop_holds_the_queue_within_about_a_frame_and_uses_the_link(driver, name, wifi):
    rate_at = LINKS[name]
    run = simulate(driver, rate_at, 20.0, wifi)
    frame = 1 / FPS
    assert run[0][1] <= 0.3e6  # a conservative start, whatever was asked
    # Within a second the stream uses what the link allows.
    reached = min(ASKED, rate_at(0)) * 0.7
    assert any(target >= reached for t, target, *_ in run if t <= 1.0)
    settled = [r for r in run if r[0] >= 3 and not 8 <= r[0] < 10]
    queues = sorted(r[2] for r in settled)
    # The queue stays within a few frames (a link whose rate falls every few seconds builds one
    # at each fall), and never holds a picture back a quarter of a second.
    assert name == "wandering" or queues[int(0.99 * len(queues))] <= 0.1
    assert max(queues) <= 0.25
    # Probing never takes the target far past a steady link that shows its rate at once.
    assert wifi or name == "wandering" or all(r[1] <= 1.25 * r[3] for r in settled)
    # The link is used: over every stretch of two seconds (a coarse picture is as bad as a
    # frozen one), and over the whole of a link whose rate wanders.
    if name == "wandering":
        carried = sum(min(ASKED, r[3]) for r in settled)
        assert (settled[-1][4] - settled[0][4]) * 8 * len(settled) / (
            settled[-1][0] - settled[0][0]) / carried >= 0.75
    for a, b in zip(settled[::40], settled[40::40]):
        if name != "wandering" and not a[0] < 8 <= b[0]:
            used = (b[4] - a[4]) * 8 / (b[0] - a[0]) / min(ASKED, a[3])
            assert used >= 0.85, (a[0], used)
    if "4 to 1" in name:
        late = [r[0] for r in run if r[0] >= 8 and r[2] > 0.25]
        assert not late or max(late) - 8 <= 1.0  # latency back under 250 ms within a second
    if "1 to 4" in name:
        assert any(r[1] >= 1.8e6 for r in run if 8 <= r[0] <= 10)  # the faster link is found


def test_rules_one_trace_each(driver):
    # A round trip above its least with nothing waiting is no queue: a receiver that delays its
    # acknowledgements (by 40 ms and more) makes it, on a link with room.
    rc = Controller(driver)
    start = rc.target
    for i in range(1, 10):
        rc.step(i * TICK, i * 2000, 0, rtt=0.1, min_rtt=0.005)
    assert rc.target > start
    rc.close()
    # A queue that builds by 2 kB a sample while the link delivers 1 Mbit/s: back to a share of
    # that within the samples that tell a standing queue from a frame on its way (0.2 s), not
    # after the queue has grown for seconds.
    rc = Controller(driver)
    delivered = 0
    for i in range(1, 30):  # calm: the target climbs from its start
        delivered += 1e6 / 8 * TICK
        rc.step(i * TICK, delivered, 0)
    assert rc.target > 1e6
    backlog = 0
    for i in range(30, 38):
        delivered += 1e6 / 8 * TICK
        backlog += 2e3
        rc.step(i * TICK, delivered, backlog)
    assert rc.target <= 0.9e6
    # Then it holds: no more than its share of what the link showed for a while, although the
    # queue is gone.
    for j in range(38, 38 + 9):
        delivered += rc.target / 8 * TICK
        assert rc.step(j * TICK, delivered, 0) <= 0.95e6
    rc.close()


def replay(driver, name):
    """The samples of a trace recorded on a real link (tests/NAME), and the controller's target
    after each, as (time, target)."""
    with open(os.path.join(ROOT, "tests", name)) as f:
        samples = [[float(x) for x in line.split()] for line in f if not line.startswith("#")]
    rc = Controller(driver)
    targets = [(s[0], rc.step(*s[:5], refused=s[5] > 0, held=s[6] if len(s) > 6 else 0))
               for s in samples]
    rc.close()
    return samples, targets


@pytest.mark.parametrize("name, link", [("rate_trace_writer_stall.txt", 1e6),
                                        ("rate_trace_bunched_acks.txt", 0.5e6)])
def test_recorded_start_that_looked_like_a_link_delivering_nothing(driver, name, link):
    # A writer that got no processor for a while (its own queue held the frames), or
    # acknowledgements that waited behind the start's queue and came in one bunch, looked like a
    # busy link delivering almost nothing: the stream fell to the floor and crept back for
    # seconds. Neither says the link is slow.
    _, targets = replay(driver, name)
    assert all(target >= 0.6 * link for t, target in targets if t >= 1.5)


def test_recorded_trace_of_a_real_link_that_steps_from_4_to_1_mbit(driver):
    # What the writer saw on the shaped loopback (tests/rate_trace_4_to_1_mbit.txt): frames leave
    # in bursts and acknowledgements come bunched behind them, which the simulated links above do
    # not show. Neither may pass for a queue, and the queue the step builds must be met at once.
    samples, targets = replay(driver, "rate_trace_4_to_1_mbit.txt")
    assert any(target >= 0.7 * ASKED for t, target in targets if t <= 1.0)
    before = [target for t, target in targets if t < 8.0]
    assert all(b >= a for a, b in zip(before, before[1:]))  # no decrease while the link has room
    frame = ASKED / FPS / 8
    queued = next(s[0] for s in samples if s[0] >= 8.0 and s[2] > frame)
    # Met at once: the first decrease takes a third off within 0.25 s (what the stream sends
    # after it is what the closed loops above judge; here the trace goes on as recorded).
    assert any(target <= 0.67 * ASKED for t, target in targets if queued <= t <= queued + 0.25)
    # Once it has drained, the stream uses the slower link again, whatever the round trip still
    # long from the burst says: at most a probe's worth away from its share of it.
    drained = next(s[0] for s in samples if s[0] > queued and s[2] < frame / 4)
    assert all(0.6e6 <= target for t, target in targets if t >= drained + 0.5)
