"""The host callback interface.

A host plug-in subclasses :class:`TavBase` and hands an instance to ``TavServer``. The server calls
these operations, each with the server itself as first argument, to read and change the host scene
and to obtain viewport pixels. In push mode they run on the server's own threads (or in the host's
main thread through ``main_thread_func``); in pull mode in the thread that calls
``TavServer.execute_pending_events()``.

Every default here is harmless: it reports an empty scene and changes nothing, so a host only
overrides what it supports. An error raised by an operation stops the command that called it: the
app receives no reply, and the error is reported through ``threading.excepthook`` (push mode) or
raised from ``execute_pending_events`` (pull mode). A result of the wrong shape raises an error
that names the operation and what was expected.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from typing_extensions import Buffer

    from tavrel.tav_core import TavServer


class TavBase:
    # -- session -----------------------------------------------------------------------------
    def client_may_connect(self, server: TavServer, client_ip: str, client_port: int) -> bool:
        """Whether to serve the app that connected from ``client_ip``:``client_port``; asked
        before ``client_connected``. A refused app's connection is closed at once, without a
        byte sent, and nothing else of it reaches the host; so is one whose decision raises (the
        error is reported as any operation's). The default serves every app: anyone who can
        reach the port. Override it to serve known phones only (for example by address)."""
        return True

    def client_connected(self, server: TavServer, client_ip: str, client_port: int) -> None:
        """An app connected from ``client_ip``:``client_port``."""

    def client_disconnected(self, server: TavServer) -> None:
        """The app disconnected (after ``current_camera_changed(server, "")``)."""

    def current_camera_changed(self, server: TavServer, camera_name: str) -> None:
        """The app selected ``camera_name`` (the empty text after a disconnect)."""

    def server_did_stop(self, server: TavServer) -> None:
        """The server stopped serving; ``start_serving`` may be called again from here."""

    # -- scene queries -----------------------------------------------------------------------
    def get_playback_state(self, server: TavServer) -> Sequence[float]:
        """The timeline as the app reads it: (start, end, current frame), three numbers relayed
        as doubles."""
        return (0.0, 0.0, 0.0)

    def get_playback_fps(self, server: TavServer) -> float:
        """Frames per second of the scene's timeline."""
        return 24.0

    def get_scene_cameras(self, server: TavServer) -> Sequence[str]:
        """The names of the scene's cameras, in the order the app lists them."""
        return []

    def get_camera_exists(self, server: TavServer, camera_name: str) -> bool:
        """Whether a camera of that name exists."""
        return False

    def get_camera_has_keys(self, server: TavServer, camera_name: str) -> Sequence[bool]:
        """Two truth values: (has transform keys, has focal-length keys)."""
        return (False, False)

    def get_camera_focal_length(self, server: TavServer, camera_name: str) -> float:
        """The camera's focal length."""
        return 35.0

    def get_camera_transform(self, server: TavServer, camera_name: str) -> Sequence[float]:
        """The camera's 4x4 matrix as 16 numbers, in the order the app uses."""
        return (1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0)

    def get_script_labels(self, server: TavServer) -> Sequence[str] | None:
        """Labels of the host's custom scripts (label i names script i), or None."""
        return None

    # -- scene changes -----------------------------------------------------------------------
    def set_frame(self, server: TavServer, frame: float) -> None:
        """Move the current time to ``frame`` (a double, possibly fractional)."""

    def set_playback_range(self, server: TavServer, start: float, end: float) -> None:
        """Set the playback range."""

    def set_camera_transform(
        self, server: TavServer, camera_name: str, transform: tuple[float, ...]
    ) -> None:
        """Set the camera's matrix (a tuple of 16 doubles)."""

    def set_camera_focal_length(
        self, server: TavServer, camera_name: str, focal_length: float
    ) -> None:
        """Set the camera's focal length."""

    def set_camera_transform_keys(
        self, server: TavServer, camera_name: str, keyframes: list[float],
        values: list[tuple[float, ...]]
    ) -> None:
        """Key the camera's matrix: ``values[i]`` (16 doubles) at time ``keyframes[i]``."""

    def set_camera_flen_keys(
        self, server: TavServer, camera_name: str, keyframes: list[float],
        values: list[float]
    ) -> None:
        """Key the camera's focal length: ``values[i]`` at time ``keyframes[i]``."""

    def remove_camera_keys(self, server: TavServer, camera_name: str) -> None:
        """Remove the camera's keys."""

    def create_new_camera(self, server: TavServer) -> str | None:
        """Create a camera and return its name (text or None)."""
        return None

    def look_through_camera(self, server: TavServer, camera_name: str) -> None:
        """Make the viewport look through the camera."""

    def start_playback(self, server: TavServer, flag: bool) -> None:
        """Start playback (``flag`` is the app's truth value)."""

    def stop_playback(self, server: TavServer) -> None:
        """Stop playback."""

    def execute_script(self, server: TavServer, index: int, camera_name: str) -> bool:
        """Run custom script ``index``; return True on success."""
        return False

    # -- viewport capture --------------------------------------------------------------------
    def capture_will_start(self, server: TavServer) -> None:
        """A stream starts: call ``server.set_capture_mode``, ``server.set_capture_resolution``
        and optionally ``server.set_vertical_flip`` from here."""

    def capture_did_end(self, server: TavServer) -> None:
        """The stream ended."""

    def get_capture_coords(self, server: TavServer, camera_name: str) -> Sequence[int]:
        """Screenshot mode: (x, y) of the viewport region on the screen."""
        return (0, 0)

    def get_capture_buffer(self, server: TavServer, camera_name: str) -> Buffer | None:
        """Buffer mode: a bytes-like object holding one frame (width x height pixels, rows top
        first, 8 bits per channel in the capture format). None skips the frame."""
        return None

    def get_capture_pointer(self, server: TavServer, camera_name: str) -> int:
        """Buffer-pointer mode: the address of the first byte of such a frame."""
        return 0
