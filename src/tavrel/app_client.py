"""One app connection to a ``TavServer``: :class:`AppClient` (imported from ``tavrel.app``).

Every message from the server starts with a code byte whose value fixes the shape of the rest, so
the client reads by code and length and never loses its place, whatever arrives in between: video
packets are queued for :meth:`AppClient.read_video_packet`, error codes are matched to the request
that caused them or kept in :attr:`AppClient.errors`.

Set commands have no reply on success, only ERR_MISSING_CAMERA on failure. Messages from the
server's host context arrive in command order, so the client settles such commands, when it needs
to know their outcome, with a barrier: ASK_PLUGIN_VERSION, which always answers and touches no
camera. :meth:`AppClient.sync` is that barrier.
"""

from __future__ import annotations

import collections
import socket
import struct
import time

from tavrel.app_protocol import (
    ASK_CAMERA_HAS_KEYS, ASK_CAMERA_MATRIX, ASK_PLAY_FPS, ASK_PLUGIN_VERSION, ASK_SCENE_CAMERAS,
    ASK_SCENE_STATUS, ASK_SCRIPT_INFO, ASK_SERVER_INFO, ASK_VIEWPORT_IMG, DO_CREATE_NEW_CAMERA,
    DO_EXECUTE_SCRIPT, DO_REMOVE_CAMERA_KEYS, DO_START_PLAYBACK, DO_START_STREAMING,
    DO_STOP_PLAYBACK, DO_STOP_STREAMING, DO_SWITCH_PLAYBACK, ERR_EXECUTE_SCRIPT,
    ERR_MISSING_CAMERA, SET_CAMERA_ALL, SET_CAMERA_ALL_AT_TIME, SET_CAMERA_FLEN_KEYS,
    SET_CAMERA_MATRIX, SET_CAMERA_MATRIX_AT_TIME, SET_CAMERA_MATRIX_KEYS, SET_CURRENT_CAMERA,
    SET_CURRENT_TIME, SET_FOCAL_LENGTH, SET_FOCAL_LENGTH_AT_TIME, SET_PLAYBACK_RANGE,
    VIDEO_PACKET, MissingCamera, ProtocolError, ServerError,
)
from tavrel.tav_core import _COMMANDS
from tavrel.tav_core import _WITH_LENGTH as _REPLY_WITH_LENGTH

# Shapes of the messages the server sends, by code: a fixed payload size, or a 32-bit length.
_FIXED = {c.code: c.reply for c in _COMMANDS.values() if c.reply is not None and c.reply > 0}
_WITH_LENGTH = {c.code for c in _COMMANDS.values() if c.reply == _REPLY_WITH_LENGTH}
_BARE = {c.code for c in _COMMANDS.values() if c.reply == 0}
_ERRORS = {c.code for name, c in _COMMANDS.items() if name.startswith("ERR_")}
# Requests that answer nothing on success and ERR_MISSING_CAMERA on failure.
_SILENT = set(range(52, 61)) | {DO_START_STREAMING, DO_REMOVE_CAMERA_KEYS}

# Payloads of the fixed-size set commands: doubles, but for the camera index.
_SET_LAYOUTS = {
    c.code: "<H" if c.code == SET_CURRENT_CAMERA else f"<{c.request // 8}d"
    for name, c in _COMMANDS.items() if name.startswith("SET_") and c.request
}


class AppClient:
    """One app connection to a ``TavServer``.

    ``timeout`` (seconds) bounds every wait for the server. A request that times out raises
    ``TimeoutError``; bytes already received are kept, so the client stays in step if the reply
    comes later, but that reply is then taken for the next request of the same kind.
    """

    def __init__(self, host: str, port: int, timeout: float = 5.0):
        self.timeout = timeout
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._buf = bytearray()
        self._eof = False
        #: Video packets received and not yet read with read_video_packet.
        self.packets: collections.deque[bytes] = collections.deque()
        #: Error codes received for earlier commands that had no reply to carry them (set
        #: commands, streaming), oldest first. sync() returns and clears them.
        self.errors: list[int] = []
        # Upper bound on the ERR_MISSING_CAMERA messages earlier commands may still cause.
        self._unsettled = 0
        # Barrier replies still to come for barriers nobody waits for any more.
        self._stale_barriers = 0
        #: The camera names of the last scene_cameras() reply, which select_camera indexes.
        self.cameras: list[str] | None = None

    # -- connection ---------------------------------------------------------------------------
    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def abort(self) -> None:
        """Ends the connection from another thread: a wait for the server in the client's own
        thread ends at once with ConnectionError."""
        sock = self._sock
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:  # already closed
                pass

    def __enter__(self) -> "AppClient":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- framing ------------------------------------------------------------------------------
    def send_raw(self, data: bytes) -> None:
        """Sends bytes as they are (for tests and experiments)."""
        self._sock.settimeout(self.timeout)  # reads leave the socket with what was left of theirs
        self._sock.sendall(data)

    def _parse(self):
        """One whole message from the buffer, or None."""
        buf = self._buf
        if not buf:
            return None
        code = buf[0]
        if code in _BARE:
            size, start = 0, 1
        elif code in _FIXED:
            size, start = _FIXED[code], 1
        elif code in _WITH_LENGTH:
            if len(buf) < 5:
                return None
            size, start = struct.unpack_from("<I", buf, 1)[0], 5
        else:
            raise ProtocolError(f"the server sent code {code}, which no message starts with")
        if len(buf) < start + size:
            return None
        payload = bytes(buf[start : start + size])
        del buf[: start + size]
        return code, payload

    def read_message(self, timeout: float | None = None) -> tuple[int, bytes]:
        """The next message from the server as (code, payload), waiting at most ``timeout``
        seconds (the client's timeout by default). Raises ConnectionError when the server closed
        the connection and TimeoutError when nothing whole arrived in time."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            message = self._parse()
            if message is not None:
                return message
            if self._eof:
                raise ConnectionError("the server closed the connection")
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no whole message from the server in time")
            self._sock.settimeout(left)
            try:
                chunk = self._sock.recv(65536)
            except socket.timeout:
                raise TimeoutError("no whole message from the server in time") from None
            if not chunk:
                self._eof = True
            self._buf += chunk

    def _next(self, wanted) -> tuple[int, bytes]:
        """Reads until a message whose code is in ``wanted``; queues video packets, keeps error
        codes nobody waits for, and drops echoes and replies nobody waits for."""
        while True:
            code, payload = self.read_message()
            if code == ASK_PLUGIN_VERSION and self._stale_barriers:
                self._stale_barriers -= 1
            elif code in wanted:
                return code, payload
            elif code == VIDEO_PACKET:
                self.packets.append(payload)
            elif code in _ERRORS:
                self._keep_error(code)

    def _keep_error(self, code: int) -> None:
        self.errors.append(code)
        if code == ERR_MISSING_CAMERA and self._unsettled:
            self._unsettled -= 1

    def _echoed(self, code: int, payload: bytes = b"") -> None:
        """Sends a code, waits for its echo, then sends the payload."""
        self.send_raw(bytes([code]))
        self._next({code})
        if payload:
            self.send_raw(payload)
        if code in _SILENT:
            self._unsettled += 1

    def _barrier(self) -> int:
        """Sends the barrier and waits for its reply; returns how many ERR_MISSING_CAMERA came
        before it. Every command sent earlier has then had its say."""
        self.send_raw(bytes([ASK_PLUGIN_VERSION]))
        missing = 0
        while self._next({ASK_PLUGIN_VERSION, ERR_MISSING_CAMERA})[0] == ERR_MISSING_CAMERA:
            missing += 1
        self._unsettled = 0
        return missing

    def sync(self) -> list[int]:
        """Waits until the server has handled every command sent so far; returns and clears the
        error codes that arrived for them (see :attr:`errors`)."""
        self.errors.extend([ERR_MISSING_CAMERA] * self._barrier())
        errors, self.errors = self.errors, []
        return errors

    def _silent_outcome(self, send) -> bool:
        """Runs ``send``, which issues one command that answers only when it fails, and says
        whether it succeeded."""
        if self._unsettled:
            self.errors.extend([ERR_MISSING_CAMERA] * self._barrier())
        send()
        return self._barrier() == 0

    def _query(self, code: int, checked: bool = False) -> bytes:
        """Sends a query and returns its reply payload. For a query that checks the current
        camera, raises MissingCamera when the server answered ERR_MISSING_CAMERA instead."""
        self.send_raw(bytes([code]))
        missing, barrier = 0, False
        while True:
            wanted = {code, ERR_MISSING_CAMERA} | ({ASK_PLUGIN_VERSION} if barrier else set())
            got, payload = self._next(wanted)
            if got == code:
                # Every error before our reply belongs to an earlier command.
                self.errors.extend([ERR_MISSING_CAMERA] * missing)
                self._unsettled = 0
                self._stale_barriers += barrier
                return payload
            if got == ERR_MISSING_CAMERA:
                if not checked:
                    self._keep_error(got)
                    continue
                if not self._unsettled and not barrier:
                    raise MissingCamera()
                # Ours, or an earlier set command's: a barrier tells which.
                missing += 1
                if not barrier:
                    self.send_raw(bytes([ASK_PLUGIN_VERSION]))
                    barrier = True
            else:  # the barrier answered and our reply never came: one of the errors was ours
                self.errors.extend([ERR_MISSING_CAMERA] * (missing - 1))
                self._unsettled = 0
                raise MissingCamera()

    # -- queries ------------------------------------------------------------------------------
    def server_info(self) -> tuple[tuple[int, int, int], str, str]:
        """((major, minor, patch), platform, server name)."""
        p = self._query(ASK_SERVER_INFO)
        version = struct.unpack_from("<3H", p)
        platform, _, name = p[6:].decode("ascii").partition("_")
        return version, platform, name

    def scene_status(self) -> tuple[float, float, float, float]:
        """The playback state (start, end, current frame) and the current camera's focal length."""
        return struct.unpack("<4d", self._query(ASK_SCENE_STATUS, checked=True))

    def scene_cameras(self) -> tuple[int | None, list[str]]:
        """(index of the current camera, or None when it is not listed; the camera names)."""
        p = self._query(ASK_SCENE_CAMERAS)
        (index,) = struct.unpack_from("<H", p)
        self.cameras = p[2:].decode("ascii").split("$") if len(p) > 2 else []
        return (None if index == 0xFFFF else index), list(self.cameras)

    def camera_matrix(self) -> tuple[float, ...]:
        """The current camera's transform: 16 doubles in wire order."""
        return struct.unpack("<16d", self._query(ASK_CAMERA_MATRIX, checked=True))

    def play_fps(self) -> float:
        return struct.unpack("<d", self._query(ASK_PLAY_FPS))[0]

    def camera_has_keys(self, decoded: bool = True):
        """(has keys, first flag, second flag) from the keys flags byte, or the byte itself."""
        flags = self._query(ASK_CAMERA_HAS_KEYS, checked=True)[0]
        if not decoded:
            return flags
        return bool(flags & 1), bool(flags & 2), bool(flags & 4)

    def script_info(self) -> list[str]:
        """The custom-script labels, label i naming script i (a single space for an empty one)."""
        p = self._query(ASK_SCRIPT_INFO)
        return p.decode("ascii").split("%") if p else []

    def read_script_info(self) -> list[str]:
        """Waits for a script-info message the host pushed (update_script_labels)."""
        _, p = self._next({ASK_SCRIPT_INFO})
        return p.decode("ascii").split("%") if p else []

    def plugin_version(self) -> tuple[int, int, int]:
        return struct.unpack("<3H", self._query(ASK_PLUGIN_VERSION))

    # -- camera and timeline ------------------------------------------------------------------
    def _set(self, code: int, *values) -> None:
        self._echoed(code, struct.pack(_SET_LAYOUTS[code], *values))

    def set_playback_range(self, start: float, end: float) -> None:
        self._set(SET_PLAYBACK_RANGE, start, end)

    def set_current_time(self, time_: float) -> None:
        self._set(SET_CURRENT_TIME, time_)

    def select_camera(self, index: int) -> bool:
        """Selects the camera at ``index`` of the last scene_cameras() list; False when the
        server answered ERR_MISSING_CAMERA."""
        return self._silent_outcome(lambda: self._set(SET_CURRENT_CAMERA, index))

    def set_camera_matrix(self, matrix, time_: float | None = None) -> None:
        if time_ is None:
            self._set(SET_CAMERA_MATRIX, *matrix)
        else:
            self._set(SET_CAMERA_MATRIX_AT_TIME, *matrix, time_)

    def set_focal_length(self, focal_length: float, time_: float | None = None) -> None:
        if time_ is None:
            self._set(SET_FOCAL_LENGTH, focal_length)
        else:
            self._set(SET_FOCAL_LENGTH_AT_TIME, focal_length, time_)

    def set_camera_all(self, matrix, focal_length: float, time_: float | None = None) -> None:
        if time_ is None:
            self._set(SET_CAMERA_ALL, *matrix, focal_length)
        else:
            self._set(SET_CAMERA_ALL_AT_TIME, *matrix, focal_length, time_)

    def set_camera_matrix_keys(self, keys) -> None:
        """Keys the current camera's transform; ``keys`` holds (matrix, time) pairs."""
        keys = list(keys)
        body = b"".join(struct.pack("<17d", *m, t) for m, t in keys)
        self._echoed(SET_CAMERA_MATRIX_KEYS, struct.pack("<H", len(keys)) + body)

    def set_camera_flen_keys(self, keys) -> None:
        """Keys the current camera's focal length; ``keys`` holds (focal length, time) pairs."""
        keys = list(keys)
        body = b"".join(struct.pack("<2d", f, t) for f, t in keys)
        self._echoed(SET_CAMERA_FLEN_KEYS, struct.pack("<H", len(keys)) + body)

    # -- actions ------------------------------------------------------------------------------
    def start_playback(self, flag: bool = True) -> None:
        self._echoed(DO_START_PLAYBACK, bytes([1 if flag else 0]))

    def stop_playback(self) -> None:
        self._echoed(DO_STOP_PLAYBACK)

    def switch_playback(self) -> None:
        """The server ignores this command; it answers nothing."""
        self.send_raw(bytes([DO_SWITCH_PLAYBACK]))

    def remove_camera_keys(self) -> bool:
        """False when the server answered ERR_MISSING_CAMERA."""
        return self._silent_outcome(lambda: self._echoed(DO_REMOVE_CAMERA_KEYS))

    def create_new_camera(self) -> None:
        """Has the host create a camera, copied from the current one, and select it."""
        self._echoed(DO_CREATE_NEW_CAMERA)

    def execute_script(self, index: int) -> bool:
        """Runs custom script ``index``; True when the host reported success."""
        self.send_raw(bytes([DO_EXECUTE_SCRIPT, index]))
        while True:
            code, payload = self._next({DO_EXECUTE_SCRIPT, ERR_EXECUTE_SCRIPT})
            if payload[0] == index:
                return code == DO_EXECUTE_SCRIPT

    # -- streaming ----------------------------------------------------------------------------
    def start_streaming(
        self, fps: float = 30.0, mbps: float = 4.0, opaque: bool = True, autosend: bool = True
    ) -> None:
        """Asks for the viewport stream. Failures (ERR_MISSING_CAMERA, ERR_NO_ALPHA) surface in
        read_video_packet() or sync()."""
        payload = struct.pack("<ffHBB", fps, mbps, 0, bool(opaque), bool(autosend))
        self._echoed(DO_START_STREAMING, payload)

    def stop_streaming(self) -> None:
        self._echoed(DO_STOP_STREAMING)

    def ask_viewport_img(self) -> None:
        """Asks for one frame; its packets arrive through read_video_packet()."""
        self.send_raw(bytes([ASK_VIEWPORT_IMG]))

    def read_video_packet(self, timeout: float | None = None) -> bytes:
        """The next video packet. Packets already received come first; then an error code
        received instead (ERR_NOT_STREAMING, ERR_NO_ALPHA, ...) is raised as a ServerError,
        oldest first."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            if self.packets:
                return self.packets.popleft()
            if self.errors:
                raise ServerError.of(self.errors.pop(0))
            code, payload = self.read_message(max(0.0, deadline - time.monotonic()))
            if code == VIDEO_PACKET:
                return payload
            if code in _ERRORS:
                self._keep_error(code)

