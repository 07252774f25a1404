"""A loopback with the rate of a slow network: a command run in a private network namespace whose
loopback is shaped by a token bucket with a deep queue (as a Wi-Fi access point has), its TCP
congestion control chosen (the host's: CUBIC on Windows and macOS, BBR or CUBIC on Linux). Used by
the network tests and the network benchmark."""

import functools
import subprocess

QDISC = "dev lo root tbf rate {rate}kbit burst 16kb latency 5s"
# A namespace other than the first may only choose a control the system allows everyone; the list
# is the system's, and `cc` is added to it.
ALLOWED = "/proc/sys/net/ipv4/tcp_allowed_congestion_control"
CONGESTION = (f"{{{{ grep -qw {{cc}} {ALLOWED} || echo \"$(cat {ALLOWED}) {{cc}}\" >{ALLOWED}; }}}} && "
              "echo {cc} >/proc/sys/net/ipv4/tcp_congestion_control")
SHAPE = f"ip link set lo mtu 1500 up && tc qdisc add {QDISC} && {CONGESTION} && exec \"$@\""
CONTROLS = ("cubic", "bbr")


@functools.cache
def unavailable(cc="cubic"):
    """Why no shaped namespace with the congestion control `cc` can be made here, or None when
    one can."""
    try:
        r = subprocess.run(["unshare", "-n", "sh", "-c", SHAPE.format(rate=1000, cc=cc), "sh",
                            "true"],
                           capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"no network namespace: {e}"
    if r.returncode != 0:
        return f"no shaped network namespace ({r.stderr.strip() or r.returncode})"
    return None


def run_shaped(mbit, argv, timeout, cc="cubic"):
    """Runs `argv` with a loopback of `mbit` Mbit/s (unshaped when `mbit` is None) whose TCP
    sockets use the congestion control `cc`; returns the completed process with its output as
    text."""
    if mbit is not None:
        shape = SHAPE.format(rate=round(mbit * 1000), cc=cc)
        argv = ["unshare", "-n", "sh", "-c", shape, "sh", *argv]
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout)


def change_rate(mbit):
    """Inside a shaped namespace: gives its loopback the rate `mbit` Mbit/s from now on."""
    subprocess.run(["tc", "qdisc", "change", *QDISC.format(rate=round(mbit * 1000)).split()],
                   check=True, capture_output=True, timeout=10)
