"""A small host written against the installed wheel's types (checked with mypy by test_wheel).

Run with an interpreter that has the wheel installed: it serves a camera and a buffer-mode stream
of a moving colour ramp, writes the QR code to OUT_DIR/qr.png, prints "port N" and, once serving,
the shared objects this process has mapped (one "lib PATH" line each). It stops serving when a line
arrives on standard input (or it closes).
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from tavrel.tav_base import TavBase
from tavrel.tav_core import TavServer

WIDTH, HEIGHT = 160, 120


class RampHost(TavBase):
    def __init__(self) -> None:
        self.frames = 0

    def get_scene_cameras(self, server: TavServer) -> Sequence[str]:
        return ["Camera"]

    def get_camera_exists(self, server: TavServer, camera_name: str) -> bool:
        return camera_name == "Camera"

    def capture_will_start(self, server: TavServer) -> None:
        server.set_capture_mode(TavServer.CAPMODE_BUFFER, TavServer.CAPFORMAT_UBYTE_RGB)
        server.set_capture_resolution(WIDTH, HEIGHT)

    def get_capture_buffer(self, server: TavServer, camera_name: str) -> bytes:
        self.frames += 1
        row = bytes((x * 255 // WIDTH + self.frames) % 256 for x in range(WIDTH) for _ in range(3))
        return row * HEIGHT


def mapped_libraries() -> list[str]:
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps if ".so" in line}
    return sorted(paths)


def say(line: str) -> None:
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def main(out_dir: str) -> int:
    server = TavServer("WheelHost", (1, 0, 0), RampHost(), TavServer.EVENTMODE_PUSH)
    if not server.start_serving(0):
        print("could not serve", file=sys.stderr)
        return 1
    server.write_qr_image_png(os.path.join(out_dir, "qr.png"), 4)
    plugin: tuple[int, int, int] = server.plugin_version
    version = ".".join(map(str, TavServer.SERVER_VERSION))
    # One write a line: the server logs through the same stream from its own threads.
    say(f"port {server.server_port} version {version} plugin {plugin}")
    for path in mapped_libraries():
        say(f"lib {path}")
    say("ready")
    sys.stdin.readline()
    server.stop_serving()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
