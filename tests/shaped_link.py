"""A loopback with the rate of a slow network: a command run in a private network namespace whose
loopback is shaped by a token bucket. Used by the network tests and the network benchmark."""

import functools
import subprocess

QDISC = "dev lo root tbf rate {rate}kbit burst 16kb latency 5s"
SHAPE = f"ip link set lo mtu 1500 up && tc qdisc add {QDISC} && exec \"$@\""


@functools.cache
def unavailable():
    """Why no shaped namespace can be made here, or None when one can."""
    try:
        r = subprocess.run(["unshare", "-n", "sh", "-c", SHAPE.format(rate=1000), "sh", "true"],
                           capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"no network namespace: {e}"
    if r.returncode != 0:
        return f"no shaped network namespace ({r.stderr.strip() or r.returncode})"
    return None


def run_shaped(mbit, argv, timeout):
    """Runs `argv` with a loopback of `mbit` Mbit/s (unshaped when `mbit` is None); returns the
    completed process with its output as text."""
    if mbit is not None:
        argv = ["unshare", "-n", "sh", "-c", SHAPE.format(rate=round(mbit * 1000)), "sh", *argv]
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)


def change_rate(mbit):
    """Inside a shaped namespace: gives its loopback the rate `mbit` Mbit/s from now on."""
    subprocess.run(["tc", "qdisc", "change", *QDISC.format(rate=round(mbit * 1000)).split()],
                   check=True, capture_output=True, timeout=10)
