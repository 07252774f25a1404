"""A reference app client: the phone's side of the tavrel protocol, in plain Python.

It talks to a running ``TavServer`` the way the app does, with the codes and message shapes the
server module declares, so a plug-in developer can try a host without a phone, and the tests,
the demo and the benchmarks use it to drive the server::

    with AppClient("127.0.0.1", 5000) as app:
        index, names = app.scene_cameras()
        app.select_camera(names.index("Camera"))
        print(app.camera_matrix())

or from a shell: ``python -m tavrel.app 127.0.0.1 5000 cameras select 0 matrix``.

The client lives in ``tavrel.app_client``, the protocol's codes and errors in
``tavrel.app_protocol``; this module gathers them and is the command line.
"""

from __future__ import annotations

import argparse
import sys

from tavrel.app_client import AppClient
from tavrel.app_protocol import (
    CODES, EncoderError, MissingCamera, NoAlpha, NotStreaming, ProtocolError, ScriptFailed,
    ServerError,
)
from tavrel.app_protocol import VIDEO_PACKET  # noqa: F401

__all__ = [
    "AppClient",
    "ServerError",
    "MissingCamera",
    "NotStreaming",
    "EncoderError",
    "ScriptFailed",
    "NoAlpha",
    "ProtocolError",
]

# The codes are constants of this module too: tavrel.app.ASK_SERVER_INFO, ...
globals().update(CODES)


# -- command line -------------------------------------------------------------------------------
def _format(value) -> str:
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, tuple):
        return " ".join(_format(v) for v in value)
    return str(value)


# Commands of the command line and the numbers each takes (int or float).
_COMMANDS: dict[str, tuple[type, ...]] = {
    "info": (), "status": (), "cameras": (), "matrix": (), "fps": (), "keys": (), "scripts": (),
    "version": (), "select": (int,), "time": (float,), "range": (float, float),
    "focal": (float,), "play": (), "stop": (), "remove-keys": (), "new-camera": (),
    "script": (int,),
}


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m tavrel.app",
        description="Sends app commands to a tavrel server, in order, on one connection.",
        epilog="commands: info  status  cameras  matrix  fps  keys  scripts  version  select N  "
        "time T  range START END  focal F  play  stop  remove-keys  new-camera  script N")
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("command", nargs="+", metavar="COMMAND")
    return parser


def _steps(parser: argparse.ArgumentParser, words: list[str]) -> list[tuple[str, list]]:
    """The command words as (command, numbers); a usage error (exit 2) for anything else."""
    steps, words = [], list(words)
    while words:
        word = words.pop(0)
        if word not in _COMMANDS:
            parser.error(f"unknown command {word!r}")
        numbers = []
        for kind in _COMMANDS[word]:
            if not words:
                parser.error(f"{word}: a number is missing")
            text = words.pop(0)
            try:
                numbers.append(kind(text))
            except ValueError:
                parser.error(f"{word}: {text!r} is not a{'n integer' if kind is int else ' number'}")
        steps.append((word, numbers))
    return steps


def _run(app: AppClient, steps: list[tuple[str, list]], out) -> None:
    """Runs the commands of the command line in order on one connection."""
    for word, args in steps:
        try:
            if word == "info":
                version, platform, name = app.server_info()
                print(f"server {'.'.join(map(str, version))} on {platform}: {name}", file=out)
            elif word == "status":
                status = app.scene_status()
                print("playback", _format(status[:3]), file=out)
                print("focal length", _format(status[3]), file=out)
            elif word == "cameras":
                index, names = app.scene_cameras()
                for i, name in enumerate(names):
                    print(f"{'*' if i == index else ' '} {i}: {name}", file=out)
            elif word == "matrix":
                m = app.camera_matrix()
                for row in range(4):
                    print(_format(m[4 * row : 4 * row + 4]), file=out)
            elif word == "fps":
                print(_format(app.play_fps()), file=out)
            elif word == "keys":
                has, first, second = app.camera_has_keys()
                print(f"keys {has} (first {first}, second {second})", file=out)
            elif word == "scripts":
                for i, label in enumerate(app.script_info()):
                    print(f"{i}: {label}", file=out)
            elif word == "version":
                print(".".join(map(str, app.plugin_version())), file=out)
            elif word == "select":
                (index,) = args
                if app.cameras is not None and not 0 <= index < len(app.cameras):
                    print(f"no camera {index} in the list", file=out)
                    continue
                ok = app.select_camera(index)
                print("selected" if ok else "ERR_MISSING_CAMERA", file=out)
            elif word == "time":
                app.set_current_time(*args)
            elif word == "range":
                app.set_playback_range(*args)
            elif word == "focal":
                app.set_focal_length(*args)
            elif word == "play":
                app.start_playback(True)
            elif word == "stop":
                app.stop_playback()
            elif word == "remove-keys":
                print("removed" if app.remove_camera_keys() else "ERR_MISSING_CAMERA", file=out)
            elif word == "new-camera":
                app.create_new_camera()
            elif word == "script":
                ok = app.execute_script(*args)
                print("done" if ok else "ERR_EXECUTE_SCRIPT", file=out)
        except ServerError as e:
            print(e, file=out)
    for code in app.sync():
        print(ServerError.of(code), file=out)


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    steps = _steps(parser, args.command)
    try:
        with AppClient(args.host, args.port) as app:
            _run(app, steps, sys.stdout)
    except (OSError, ProtocolError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
