// Camera and timeline set commands. The dispatcher has echoed the code and read the payload.
#include "core/server.hpp"
#include "protocol/host_values.hpp"
#include "protocol/wire.hpp"

namespace tav {

namespace hv = host_values;

namespace {

nb::tuple read_transform(wire::Reader& r) {
    nb::object t = nb::steal(PyTuple_New(16));
    for (Py_ssize_t i = 0; i < 16; ++i) PyTuple_SetItem(t.ptr(), i, PyFloat_FromDouble(r.f64()));
    return nb::borrow<nb::tuple>(t);
}

}  // namespace

void TavServer::set_playback_range(nb::handle data) {
    auto p = hv::payload(data);
    if (!p) return;
    wire::Reader r(*p);
    double start = r.f64(), end = r.f64();
    host("set_playback_range", start, end);
}

void TavServer::set_current_time(nb::handle data) {
    auto p = hv::payload(data);
    if (!p) return;
    wire::Reader r(*p);
    host("set_frame", r.f64());
}

void TavServer::set_current_camera(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || scene_cameras_.is_none() || !hv::truthy(scene_cameras_)) return;
    wire::Reader r(*p);
    const Py_ssize_t index = r.u16();
    const Py_ssize_t count = PyObject_Size(scene_cameras_.ptr());
    if (count < 0) throw nb::python_error();
    // An index past the end names no camera: the app's mistake, answered as a missing camera.
    if (index >= count) {
        send_code(ERR_MISSING_CAMERA);
        return;
    }
    nb::object name = scene_cameras_[nb::int_(index)];
    if (!hv::truthy(host("get_camera_exists", name))) {
        send_code(ERR_MISSING_CAMERA);
        return;
    }
    current_camera_ = hv::camera_name({name, "the entry of get_scene_cameras", "is"});
    if (streaming_.is_capturing) host("look_through_camera", current_camera_);
    host("current_camera_changed", current_camera_);
}

void TavServer::set_camera_transform(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || !check_current_camera()) return;
    wire::Reader r(*p);
    host("set_camera_transform", current_camera_, read_transform(r));
}

void TavServer::set_camera_transform_at_time(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || !check_current_camera()) return;
    wire::Reader r(*p);
    nb::tuple transform = read_transform(r);
    double time = r.f64();
    host("set_camera_transform", current_camera_, transform);
    host("set_frame", time);
}

void TavServer::set_focal_length(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || !check_current_camera()) return;
    wire::Reader r(*p);
    host("set_camera_focal_length", current_camera_, r.f64());
}

void TavServer::set_focal_length_at_time(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || !check_current_camera()) return;
    wire::Reader r(*p);
    double focal_length = r.f64(), time = r.f64();
    host("set_camera_focal_length", current_camera_, focal_length);
    host("set_frame", time);
}

void TavServer::set_camera_all(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || !check_current_camera()) return;
    wire::Reader r(*p);
    nb::tuple transform = read_transform(r);
    double focal_length = r.f64();
    host("set_camera_transform", current_camera_, transform);
    host("set_camera_focal_length", current_camera_, focal_length);
}

void TavServer::set_camera_all_at_time(nb::handle data) {
    auto p = hv::payload(data);
    if (!p || !check_current_camera()) return;
    wire::Reader r(*p);
    nb::tuple transform = read_transform(r);
    double focal_length = r.f64(), time = r.f64();
    host("set_camera_transform", current_camera_, transform);
    host("set_camera_focal_length", current_camera_, focal_length);
    host("set_frame", time);
}

void TavServer::set_camera_transform_keys(nb::handle keyframes, nb::handle values) {
    if (!check_current_camera()) return;
    host("set_camera_transform_keys", current_camera_, keyframes, values);
}

void TavServer::set_camera_flen_keys(nb::handle keyframes, nb::handle values) {
    if (!check_current_camera()) return;
    host("set_camera_flen_keys", current_camera_, keyframes, values);
}

}  // namespace tav
