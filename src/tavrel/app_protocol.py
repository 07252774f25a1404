"""The protocol as the app client sees it: the codes the server module declares, as constants of
this module (ASK_SERVER_INFO, ..., ERR_NO_ALPHA), and the server's error codes as exceptions."""

from __future__ import annotations

from tavrel.tav_core import _COMMANDS

# The protocol's codes, as the server declares them, by name.
CODES = {name: command.code for name, command in _COMMANDS.items()}
globals().update(CODES)
VIDEO_PACKET = ASK_VIEWPORT_IMG  # code of every video packet message


class ProtocolError(Exception):
    """The server sent something this protocol does not allow; the connection is out of step."""


class ServerError(Exception):
    """An error code from the server."""

    code = None
    name = "ERR"

    def __init__(self, payload: bytes = b""):
        self.payload = bytes(payload)
        detail = f" (index {self.payload[0]})" if self.payload else ""
        super().__init__(f"{self.name} ({self.code}){detail}")

    @staticmethod
    def of(code: int, payload: bytes = b"") -> "ServerError":
        return _ERROR_CLASSES[code](payload)


class MissingCamera(ServerError):
    code, name = ERR_MISSING_CAMERA, "ERR_MISSING_CAMERA"


class NotStreaming(ServerError):
    code, name = ERR_NOT_STREAMING, "ERR_NOT_STREAMING"


class EncoderError(ServerError):
    code, name = ERR_FFMPEG, "ERR_FFMPEG"


class ScriptFailed(ServerError):
    code, name = ERR_EXECUTE_SCRIPT, "ERR_EXECUTE_SCRIPT"


class NoAlpha(ServerError):
    code, name = ERR_NO_ALPHA, "ERR_NO_ALPHA"


_ERROR_CLASSES = {
    c.code: c for c in (MissingCamera, NotStreaming, EncoderError, ScriptFailed, NoAlpha)
}

