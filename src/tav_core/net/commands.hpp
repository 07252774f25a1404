// The app protocol's command codes: one byte that opens every message in both directions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tav {

enum Code : uint8_t {
    ASK_SERVER_INFO = 0,
    ASK_SCENE_STATUS = 1,
    ASK_SCENE_CAMERAS = 2,
    ASK_CAMERA_MATRIX = 3,
    ASK_VIEWPORT_IMG = 4,
    ASK_PLAY_FPS = 5,
    ASK_CAMERA_HAS_KEYS = 6,
    ASK_SCRIPT_INFO = 7,
    ASK_PLUGIN_VERSION = 8,
    SET_PLAYBACK_RANGE = 50,
    SET_CURRENT_TIME = 51,
    SET_CURRENT_CAMERA = 52,
    SET_CAMERA_MATRIX = 53,
    SET_CAMERA_MATRIX_AT_TIME = 54,
    SET_FOCAL_LENGTH = 55,
    SET_FOCAL_LENGTH_AT_TIME = 56,
    SET_CAMERA_ALL = 57,
    SET_CAMERA_ALL_AT_TIME = 58,
    SET_CAMERA_MATRIX_KEYS = 59,
    SET_CAMERA_FLEN_KEYS = 60,
    DO_START_STREAMING = 150,
    DO_STOP_STREAMING = 151,
    DO_START_PLAYBACK = 152,
    DO_STOP_PLAYBACK = 153,
    DO_SWITCH_PLAYBACK = 154,
    DO_REMOVE_CAMERA_KEYS = 155,
    DO_CREATE_NEW_CAMERA = 156,
    DO_EXECUTE_SCRIPT = 157,
    ERR_MISSING_CAMERA = 200,
    ERR_NOT_STREAMING = 201,
    ERR_FFMPEG = 202,
    ERR_EXECUTE_SCRIPT = 203,
    ERR_NO_ALPHA = 204,
};

// What follows a code in the server's messages: that many bytes, a 32-bit length and that many
// bytes, or nothing ever (the server does not send the code).
inline constexpr int kWithLength = -1;
inline constexpr int kNeverSent = -2;

// Everything the two sides must agree on about a code: the one table of the protocol. The server
// object names each code "_CMD_" + name; the module offers the table to Python (the reference app
// client reads it).
struct Command {
    const char* name;
    Code code;
    bool echo;       // the server echoes the code before it reads the request's payload
    size_t request;  // payload bytes that follow the code from the app (key lists: counted)
    int reply;       // payload bytes after the code from the server, kWithLength or kNeverSent
};

inline constexpr std::array<Command, 33> kCommands = {{
    {"ASK_SERVER_INFO", ASK_SERVER_INFO, false, 0, kWithLength},
    {"ASK_SCENE_STATUS", ASK_SCENE_STATUS, false, 0, 32},
    {"ASK_SCENE_CAMERAS", ASK_SCENE_CAMERAS, false, 0, kWithLength},
    {"ASK_CAMERA_MATRIX", ASK_CAMERA_MATRIX, false, 0, 128},
    {"ASK_VIEWPORT_IMG", ASK_VIEWPORT_IMG, false, 0, kWithLength},  // and every video packet
    {"ASK_PLAY_FPS", ASK_PLAY_FPS, false, 0, 8},
    {"ASK_CAMERA_HAS_KEYS", ASK_CAMERA_HAS_KEYS, false, 0, 1},
    {"ASK_SCRIPT_INFO", ASK_SCRIPT_INFO, false, 0, kWithLength},
    {"ASK_PLUGIN_VERSION", ASK_PLUGIN_VERSION, false, 0, 6},
    {"SET_PLAYBACK_RANGE", SET_PLAYBACK_RANGE, true, 16, 0},
    {"SET_CURRENT_TIME", SET_CURRENT_TIME, true, 8, 0},
    {"SET_CURRENT_CAMERA", SET_CURRENT_CAMERA, true, 2, 0},
    {"SET_CAMERA_MATRIX", SET_CAMERA_MATRIX, true, 128, 0},
    {"SET_CAMERA_MATRIX_AT_TIME", SET_CAMERA_MATRIX_AT_TIME, true, 136, 0},
    {"SET_FOCAL_LENGTH", SET_FOCAL_LENGTH, true, 8, 0},
    {"SET_FOCAL_LENGTH_AT_TIME", SET_FOCAL_LENGTH_AT_TIME, true, 16, 0},
    {"SET_CAMERA_ALL", SET_CAMERA_ALL, true, 136, 0},
    {"SET_CAMERA_ALL_AT_TIME", SET_CAMERA_ALL_AT_TIME, true, 144, 0},
    {"SET_CAMERA_MATRIX_KEYS", SET_CAMERA_MATRIX_KEYS, true, 0, 0},
    {"SET_CAMERA_FLEN_KEYS", SET_CAMERA_FLEN_KEYS, true, 0, 0},
    {"DO_START_STREAMING", DO_START_STREAMING, true, 12, 0},
    {"DO_STOP_STREAMING", DO_STOP_STREAMING, true, 0, 0},
    {"DO_START_PLAYBACK", DO_START_PLAYBACK, true, 1, 0},
    {"DO_STOP_PLAYBACK", DO_STOP_PLAYBACK, true, 0, 0},
    {"DO_SWITCH_PLAYBACK", DO_SWITCH_PLAYBACK, false, 0, kNeverSent},
    {"DO_REMOVE_CAMERA_KEYS", DO_REMOVE_CAMERA_KEYS, true, 0, 0},
    {"DO_CREATE_NEW_CAMERA", DO_CREATE_NEW_CAMERA, true, 0, 0},
    {"DO_EXECUTE_SCRIPT", DO_EXECUTE_SCRIPT, false, 1, 1},
    {"ERR_MISSING_CAMERA", ERR_MISSING_CAMERA, false, 0, 0},
    {"ERR_NOT_STREAMING", ERR_NOT_STREAMING, false, 0, 0},
    {"ERR_FFMPEG", ERR_FFMPEG, false, 0, 0},
    {"ERR_EXECUTE_SCRIPT", ERR_EXECUTE_SCRIPT, false, 0, 1},
    {"ERR_NO_ALPHA", ERR_NO_ALPHA, false, 0, 0},
}};

// The table's entry of `code` (codes outside the table have none).
constexpr const Command* command_of(uint8_t code) {
    for (const Command& c : kCommands)
        if (c.code == code) return &c;
    return nullptr;
}

}  // namespace tav
