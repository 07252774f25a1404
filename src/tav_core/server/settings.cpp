// Camera and timeline set commands. The dispatcher has echoed the code and read the payload.
#include "host/host_values.hpp"
#include "net/commands.hpp"
#include "net/wire.hpp"
#include "server/handlers.hpp"
#include "streaming/stream.hpp"

namespace tav::handlers {

namespace hv = host_values;

namespace {

nb::tuple read_transform(wire::Reader& r) {
    nb::object t = nb::steal(PyTuple_New(16));
    for (Py_ssize_t i = 0; i < 16; ++i) PyTuple_SetItem(t.ptr(), i, PyFloat_FromDouble(r.f64()));
    return nb::borrow<nb::tuple>(t);
}

}  // namespace

void set_playback_range(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p) return;
    wire::Reader in(*p);
    double start = in.f64(), end = in.f64();
    c.host.call("set_playback_range", start, end);
}

void set_current_time(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p) return;
    wire::Reader in(*p);
    c.host.call("set_frame", in.f64());
}

void set_current_camera(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || c.cameras.listed.is_none() || !hv::truthy(c.cameras.listed)) return;
    wire::Reader in(*p);
    const Py_ssize_t index = in.u16();
    const Py_ssize_t count = PyObject_Size(c.cameras.listed.ptr());
    if (count < 0) throw nb::python_error();
    // An index past the end names no camera: the app's mistake, answered as a missing camera.
    if (index >= count) {
        c.link.send_code(ERR_MISSING_CAMERA);
        return;
    }
    nb::object name = c.cameras.listed[nb::int_(index)];
    if (!hv::truthy(c.host.call("get_camera_exists", name))) {
        c.link.send_code(ERR_MISSING_CAMERA);
        return;
    }
    c.cameras.current = hv::camera_name({name, "the entry of get_scene_cameras", "is"});
    if (c.stream.is_capturing()) c.host.call("look_through_camera", c.cameras.current);
    c.host.call("current_camera_changed", c.cameras.current);
}

void set_camera_transform(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || !c.cameras.check(c.host, c.link)) return;
    wire::Reader in(*p);
    c.host.call("set_camera_transform", c.cameras.current, read_transform(in));
}

void set_camera_transform_at_time(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || !c.cameras.check(c.host, c.link)) return;
    wire::Reader in(*p);
    nb::tuple transform = read_transform(in);
    double time = in.f64();
    c.host.call("set_camera_transform", c.cameras.current, transform);
    c.host.call("set_frame", time);
}

void set_focal_length(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || !c.cameras.check(c.host, c.link)) return;
    wire::Reader in(*p);
    c.host.call("set_camera_focal_length", c.cameras.current, in.f64());
}

void set_focal_length_at_time(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || !c.cameras.check(c.host, c.link)) return;
    wire::Reader in(*p);
    double focal_length = in.f64(), time = in.f64();
    c.host.call("set_camera_focal_length", c.cameras.current, focal_length);
    c.host.call("set_frame", time);
}

void set_camera_all(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || !c.cameras.check(c.host, c.link)) return;
    wire::Reader in(*p);
    nb::tuple transform = read_transform(in);
    double focal_length = in.f64();
    c.host.call("set_camera_transform", c.cameras.current, transform);
    c.host.call("set_camera_focal_length", c.cameras.current, focal_length);
}

void set_camera_all_at_time(CommandContext& c, const Request& r) {
    const auto& p = r.payload;
    if (!p || !c.cameras.check(c.host, c.link)) return;
    wire::Reader in(*p);
    nb::tuple transform = read_transform(in);
    double focal_length = in.f64(), time = in.f64();
    c.host.call("set_camera_transform", c.cameras.current, transform);
    c.host.call("set_camera_focal_length", c.cameras.current, focal_length);
    c.host.call("set_frame", time);
}

void set_camera_keys(CommandContext& c, const Request& r) {
    if (!r.keys || !c.cameras.check(c.host, c.link)) return;
    nb::tuple keys = key_list_to_python(*r.keys);
    c.host.call(
        r.code == SET_CAMERA_MATRIX_KEYS ? "set_camera_transform_keys" : "set_camera_flen_keys",
        c.cameras.current, keys[0], keys[1]);
}

}  // namespace tav::handlers
