#include "server/command_table.hpp"

#include <array>

#include "net/commands.hpp"

namespace tav {

namespace {

namespace h = handlers;

constexpr std::array<RouteEntry, 256> make_table() {
    std::array<RouteEntry, 256> t{};
    auto route = [&t](Code code, Route r, Handler handler, size_t key_doubles = 0) {
        const Command* c = command_of(code);
        t[code] = {r, handler, c->echo, c->request, key_doubles};
    };
    route(ASK_SERVER_INFO, Route::deliver, h::send_server_info);
    route(ASK_SCENE_STATUS, Route::deliver, h::send_scene_status);
    route(ASK_SCENE_CAMERAS, Route::deliver, h::send_scene_cameras);
    route(ASK_CAMERA_MATRIX, Route::deliver, h::send_camera_transform);
    route(ASK_VIEWPORT_IMG, Route::deliver, h::send_viewport_img);
    route(ASK_PLAY_FPS, Route::deliver, h::send_play_fps);
    route(ASK_CAMERA_HAS_KEYS, Route::deliver, h::send_camera_has_keys);
    route(ASK_SCRIPT_INFO, Route::deliver, h::send_script_info);
    route(ASK_PLUGIN_VERSION, Route::deliver, h::send_plugin_version);
    route(SET_PLAYBACK_RANGE, Route::deliver, h::set_playback_range);
    route(SET_CURRENT_TIME, Route::deliver, h::set_current_time);
    route(SET_CURRENT_CAMERA, Route::deliver, h::set_current_camera);
    route(SET_CAMERA_MATRIX, Route::deliver, h::set_camera_transform);
    route(SET_CAMERA_MATRIX_AT_TIME, Route::deliver, h::set_camera_transform_at_time);
    route(SET_FOCAL_LENGTH, Route::deliver, h::set_focal_length);
    route(SET_FOCAL_LENGTH_AT_TIME, Route::deliver, h::set_focal_length_at_time);
    route(SET_CAMERA_ALL, Route::deliver, h::set_camera_all);
    route(SET_CAMERA_ALL_AT_TIME, Route::deliver, h::set_camera_all_at_time);
    route(SET_CAMERA_MATRIX_KEYS, Route::deliver, h::set_camera_keys, kMatrixKeyDoubles);
    route(SET_CAMERA_FLEN_KEYS, Route::deliver, h::set_camera_keys, kFlenKeyDoubles);
    route(DO_START_STREAMING, Route::start, h::start_streaming);
    route(DO_STOP_STREAMING, Route::stop, nullptr);
    route(DO_START_PLAYBACK, Route::deliver, h::start_playback);
    route(DO_STOP_PLAYBACK, Route::deliver, h::stop_playback);
    route(DO_REMOVE_CAMERA_KEYS, Route::deliver, h::remove_camera_keys);
    route(DO_CREATE_NEW_CAMERA, Route::deliver, h::create_new_camera);
    route(DO_EXECUTE_SCRIPT, Route::deliver, h::execute_script);
    return t;
}

constexpr std::array<RouteEntry, 256> kTable = make_table();

}  // namespace

const RouteEntry& route_of(uint8_t code) { return kTable[code]; }

}  // namespace tav
