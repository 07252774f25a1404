// The command dispatcher: echo, request payload and delivery of every code the app sends.
#include "core/python.hpp"
#include "core/server.hpp"
#include "protocol/protocol.hpp"
#include "protocol/wire.hpp"

namespace tav {

namespace {

constexpr const char* kThreadName = "tavrel-network";

enum class Route {
    ignore,
    query,    // deliver handler(cmd)
    plain,    // deliver handler()
    payload,  // deliver handler(data)
    keys,     // decode a key list on this thread, deliver handler(keyframes, values)
    start,    // deliver handler(data) and wait until the streaming start has run
    stop,     // run the streaming stop on this thread
    script,   // deliver handler(cmd, data)
};

struct Entry {
    Route route = Route::ignore;
    const char* handler = nullptr;
    bool echo = false;
    size_t payload = 0;
};

// Echo and payload size come from the protocol's table; the route and handler are this side's.
constexpr std::array<Entry, 256> make_table() {
    std::array<Entry, 256> t{};
    auto route = [&t](Code code, Route r, const char* handler) {
        const Command* c = command_of(code);
        t[code] = {r, handler, c->echo, c->request};
    };
    route(ASK_SERVER_INFO, Route::query, "_send_server_info");
    route(ASK_SCENE_STATUS, Route::query, "_send_scene_status");
    route(ASK_SCENE_CAMERAS, Route::query, "_send_scene_cameras");
    route(ASK_CAMERA_MATRIX, Route::query, "_send_camera_transform");
    route(ASK_VIEWPORT_IMG, Route::plain, "_send_viewport_img");
    route(ASK_PLAY_FPS, Route::query, "_send_play_fps");
    route(ASK_CAMERA_HAS_KEYS, Route::query, "_send_camera_has_keys");
    route(ASK_SCRIPT_INFO, Route::query, "_send_script_info");
    route(ASK_PLUGIN_VERSION, Route::query, "_send_plugin_version");
    route(SET_PLAYBACK_RANGE, Route::payload, "_set_playback_range");
    route(SET_CURRENT_TIME, Route::payload, "_set_current_time");
    route(SET_CURRENT_CAMERA, Route::payload, "_set_current_camera");
    route(SET_CAMERA_MATRIX, Route::payload, "_set_camera_transform");
    route(SET_CAMERA_MATRIX_AT_TIME, Route::payload, "_set_camera_transform_at_time");
    route(SET_FOCAL_LENGTH, Route::payload, "_set_focal_length");
    route(SET_FOCAL_LENGTH_AT_TIME, Route::payload, "_set_focal_length_at_time");
    route(SET_CAMERA_ALL, Route::payload, "_set_camera_all");
    route(SET_CAMERA_ALL_AT_TIME, Route::payload, "_set_camera_all_at_time");
    route(SET_CAMERA_MATRIX_KEYS, Route::keys, "_set_camera_transform_keys");
    route(SET_CAMERA_FLEN_KEYS, Route::keys, "_set_camera_flen_keys");
    route(DO_START_STREAMING, Route::start, "_start_streaming");
    route(DO_STOP_STREAMING, Route::stop, nullptr);
    route(DO_START_PLAYBACK, Route::payload, "_start_playback");
    route(DO_STOP_PLAYBACK, Route::plain, "_stop_playback");
    route(DO_REMOVE_CAMERA_KEYS, Route::plain, "_remove_camera_keys");
    route(DO_CREATE_NEW_CAMERA, Route::plain, "_create_new_camera");
    route(DO_EXECUTE_SCRIPT, Route::script, "_execute_script");
    return t;
}

constexpr std::array<Entry, 256> kTable = make_table();

nb::object bytes_or_none(const std::optional<std::string>& data) {
    if (!data) return nb::none();
    return nb::bytes(data->data(), data->size());
}

}  // namespace

nb::bytes command_byte(int n) {
    if (n < 0 || n > 255) throw nb::value_error("bytes must be in range(0, 256)");
    char byte = static_cast<char>(n);
    return nb::bytes(&byte, 1);
}

nb::object command_table() {
    nb::object entry = nb::module_::import_("collections")
                           .attr("namedtuple")("Command", "code echo request reply");
    nb::dict table;
    for (const Command& c : kCommands) {
        nb::object reply = nb::none();
        if (c.reply != kNeverSent) reply = nb::int_(c.reply);
        table[c.name] = entry(static_cast<int>(c.code), c.echo, c.request, reply);
    }
    return nb::module_::import_("types").attr("MappingProxyType")(table);
}

void TavServer::init_network_commands() {
    nb::object me = self();
    for (const Command& c : kCommands) {
        char byte = static_cast<char>(c.code);
        nb::setattr(me, ("_CMD_" + std::string(c.name)).c_str(), nb::bytes(&byte, 1));
    }
}

void TavServer::proccess_command(nb::bytes cmd) {
    if (cmd.size() != 1) throw nb::value_error("a command is one byte");
    const uint8_t code = static_cast<uint8_t>(cmd.c_str()[0]);
    py::Unlocked unlocked;
    process_code(code);
}

// Runs on the network thread without the GIL. An error raised by the host in a push-mode delivery
// is reported and the session goes on. The payload is read whatever became of the echo, so the
// next byte read is always a command.
void TavServer::process_code(uint8_t code) {
    const Entry& e = kTable[code];
    if (e.route == Route::ignore) return;
    const char cmd_byte = static_cast<char>(code);
    std::optional<std::string> data;
    std::optional<KeyList> keys;
    if (e.echo) send_message(std::string_view(&cmd_byte, 1));
    if (e.payload > 0) data = recv_payload(e.payload);
    if (e.route == Route::keys)
        keys = read_key_list(code == SET_CAMERA_MATRIX_KEYS ? kMatrixKeyDoubles : kFlenKeyDoubles);

    if (e.route == Route::stop) {
        py::Gil gil;
        try {
            stop_streaming();
        } catch (...) {
            py::report_current_exception(kThreadName);
        }
        return;
    }
    if (e.route == Route::keys && !keys) return;

    std::shared_ptr<OneShot> started;
    {
        py::Gil gil;
        try {
            nb::bytes cmd(&cmd_byte, 1);
            switch (e.route) {
                case Route::query:
                    deliver(e.handler, nb::make_tuple(cmd));
                    break;
                case Route::plain:
                    deliver(e.handler, nb::make_tuple());
                    break;
                case Route::payload:
                    deliver(e.handler, nb::make_tuple(bytes_or_none(data)));
                    break;
                case Route::script:
                    deliver(e.handler, nb::make_tuple(cmd, bytes_or_none(data)));
                    break;
                case Route::keys:
                    deliver(e.handler, key_list_to_python(*keys));
                    break;
                case Route::start:
                    started = std::make_shared<OneShot>();
                    streaming_.start_streaming_event = started;
                    deliver(e.handler, nb::make_tuple(bytes_or_none(data)));
                    break;
                default:
                    break;
            }
        } catch (...) {
            if (started) started->set();
            py::report_current_exception(kThreadName);
        }
    }
    // The next command is read only once the capture is set up (or the start gave up). A server
    // stop releases this wait; one that came before the event was in place is seen here.
    if (started) {
        if (!is_serving_) started->set();
        started->wait();
    }
}

}  // namespace tav
