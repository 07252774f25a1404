"""The capture settings a host makes from capture_will_start, and the encoder size limit."""

import pytest

from conftest import RecordingHost, TavServer

F = TavServer


@pytest.fixture
def server():
    return TavServer("Blender", (1, 2, 3), RecordingHost(), F.EVENTMODE_PUSH)


def test_modes_and_formats(server):
    server.set_capture_mode(F.CAPMODE_SCREENSHOT)
    assert (server.capture_mode, server.capture_format, server._pixel_format) == (0, None, "bgra")
    for fmt, name in enumerate(["rgb", "bgr", "rgba", "bgra"]):
        server.set_capture_mode(F.CAPMODE_BUFFER, fmt)
        assert (server.capture_format, server._pixel_format) == (fmt, name)
    server.set_capture_mode(F.CAPMODE_BUFFER_POINTER, capture_format=F.CAPFORMAT_UBYTE_RGB)
    assert (server.capture_mode, server._pixel_format) == (2, "rgb")
    server.set_capture_mode(1.0, 2.0)  # compared by value, stored as given
    assert server.capture_mode == 1.0 and isinstance(server.capture_mode, float)


def test_invalid_settings_change_nothing(server):
    server.set_capture_mode(F.CAPMODE_BUFFER, F.CAPFORMAT_UBYTE_RGBA)
    with pytest.raises(ValueError, match=r"^Invalid 'capture_format'$"):
        server.set_capture_mode(F.CAPMODE_BUFFER)
    with pytest.raises(ValueError, match=r"^Invalid 'capture_mode'$"):
        server.set_capture_mode(3)
    assert (server.capture_mode, server.capture_format, server._pixel_format) == (1, 2, "rgba")


def test_resolution_and_flip_outside_a_session(server):
    server.set_capture_resolution(1280, 720)
    server.set_vertical_flip(1)
    assert (server.capture_width, server.capture_height, server.use_vflip) == (1280, 720, True)
    server.set_vertical_flip("")
    assert server.use_vflip is False


@pytest.mark.parametrize("size, clamped", [
    ((640, 480), (640, 480)), ((1000, 1000), (720, 720)), ((1920, 1080), (720, 405)),
    ((500, 1440), (250, 720)), ((1280, 1080), (720, 607.5)),
    ((743, 500), (719.9999999999999, 484.52220726783304)),
])
def test_clamp_resolution(server, size, clamped):
    assert server._clamp_resolution(*size) == clamped


def test_start_encoding_rules(server):
    from streaming_support import shm_entries

    blocks = shm_entries()
    for bad in ["RGBA", "yuv", None]:
        with pytest.raises(ValueError, match="Invalid encoding input_format. Supported values: "
                                             "'rgb', 'bgr', 'rgba', 'bgra'"):
            server._start_encoding(1280, 720, bad, 30.0, 2.0, False)
    assert not server._is_encoding and shm_entries() == blocks
