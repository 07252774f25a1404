// The command handlers: what the server does for each request of the app. Each runs in host
// context holding the GIL, after the network thread echoed the code and read the request's payload
// (see command_table.hpp); an error it raises stops it before its reply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/cameras.hpp"
#include "host/host_bridge.hpp"
#include "net/client_link.hpp"
#include "net/key_lists.hpp"
#include "server/server_identity.hpp"

namespace tav {

namespace streaming {
class Stream;
}

// What a handler works with.
struct CommandContext {
    HostBridge& host;
    net::ClientLink& link;
    Cameras& cameras;
    streaming::Stream& stream;
    const ServerIdentity& identity;
};

// A request as the network thread read it.
struct Request {
    uint8_t code = 0;
    std::optional<std::string> payload;  // none when the read failed (or the code has none)
    std::optional<KeyList> keys;         // key-list requests
};

using Handler = void (*)(CommandContext&, const Request&);

namespace handlers {

// queries.cpp: one code, one reply.
void send_server_info(CommandContext&, const Request&);
void send_scene_status(CommandContext&, const Request&);
void send_scene_cameras(CommandContext&, const Request&);
void send_camera_transform(CommandContext&, const Request&);
void send_play_fps(CommandContext&, const Request&);
void send_camera_has_keys(CommandContext&, const Request&);
void send_script_info(CommandContext&, const Request&);
void send_plugin_version(CommandContext&, const Request&);

// settings.cpp: camera and timeline settings.
void set_playback_range(CommandContext&, const Request&);
void set_current_time(CommandContext&, const Request&);
void set_current_camera(CommandContext&, const Request&);
void set_camera_transform(CommandContext&, const Request&);
void set_camera_transform_at_time(CommandContext&, const Request&);
void set_focal_length(CommandContext&, const Request&);
void set_focal_length_at_time(CommandContext&, const Request&);
void set_camera_all(CommandContext&, const Request&);
void set_camera_all_at_time(CommandContext&, const Request&);
void set_camera_keys(CommandContext&, const Request&);

// actions.cpp: playback, keys, camera creation, scripts and the stream.
void start_playback(CommandContext&, const Request&);
void stop_playback(CommandContext&, const Request&);
void remove_camera_keys(CommandContext&, const Request&);
void create_new_camera(CommandContext&, const Request&);
void execute_script(CommandContext&, const Request&);
void start_streaming(CommandContext&, const Request&);
void send_viewport_img(CommandContext&, const Request&);

}  // namespace handlers

}  // namespace tav
