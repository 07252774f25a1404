// Action commands: playback, keys, camera creation, custom scripts and the stream.
#include "host/host_values.hpp"
#include "net/commands.hpp"
#include "net/wire.hpp"
#include "server/handlers.hpp"
#include "streaming/stream.hpp"

namespace tav::handlers {

namespace hv = host_values;

void start_playback(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p) return;
    c.host.call("start_playback", nb::bool_(wire::Reader(*p).u8() != 0));
}

void stop_playback(CommandContext& c, const Request&) { c.host.call("stop_playback"); }

void remove_camera_keys(CommandContext& c, const Request&) {
    if (!c.cameras.check(c.host, c.link)) return;
    c.host.call("remove_camera_keys", c.cameras.current);
}

// Has the host create a camera and copies the current camera's transform and focal length to it.
void create_new_camera(CommandContext& c, const Request&) {
    nb::object transform = c.host.call("get_camera_transform", c.cameras.current);
    nb::object focal_length = c.host.call("get_camera_focal_length", c.cameras.current);
    c.cameras.current = hv::camera_name(c.host.call("create_new_camera"));
    c.host.call("set_camera_transform", c.cameras.current, transform);
    c.host.call("set_camera_focal_length", c.cameras.current, focal_length);
    if (c.stream.is_capturing()) c.host.call("look_through_camera", c.cameras.current);
}

void execute_script(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p) return;
    const uint8_t index = wire::Reader(*p).u8();
    nb::object result = c.host.call("execute_script", index, c.cameras.current);
    int ok = PyObject_RichCompareBool(result.ptr(), Py_True, Py_EQ);
    if (ok < 0) throw nb::python_error();
    wire::Writer w;
    w.code(ok ? r.code : static_cast<uint8_t>(ERR_EXECUTE_SCRIPT));
    w.u8(index);
    c.link.send(w.bytes());
}

// The 12 bytes: fps and Mbit/s (float32 each), a 16-bit value no one uses, the opaque and the
// autosend flags.
void start_streaming(CommandContext& c, const Request& r) {
    std::optional<streaming::StartRequest> request;
    if (r.payload) {
        wire::Reader w(*r.payload);
        request.emplace();
        request->fps = w.f32();
        request->mbps = w.f32();
        w.u16();
        request->opaque = w.u8() != 0;
        request->autosend = w.u8() != 0;
    }
    c.stream.start(request);
}

void send_viewport_img(CommandContext& c, const Request&) { c.stream.pass_frame_to_encoder(true); }

}  // namespace tav::handlers
