// Action commands: playback, keys, camera creation and custom scripts.
#include "core/server.hpp"
#include "protocol/host_values.hpp"
#include "protocol/wire.hpp"

namespace tav {

namespace hv = host_values;

void TavServer::start_playback(nb::handle data) {
    auto p = hv::payload(data);
    if (!p) return;
    host("start_playback", nb::bool_(wire::Reader(*p).u8() != 0));
}

void TavServer::stop_playback() { host("stop_playback"); }

void TavServer::remove_camera_keys() {
    if (!check_current_camera()) return;
    host("remove_camera_keys", current_camera_);
}

// Has the host create a camera and copies the current camera's transform and focal length to it.
void TavServer::create_new_camera() {
    nb::object transform = host("get_camera_transform", current_camera_);
    nb::object focal_length = host("get_camera_focal_length", current_camera_);
    current_camera_ = hv::camera_name(host("create_new_camera"));
    host("set_camera_transform", current_camera_, transform);
    host("set_camera_focal_length", current_camera_, focal_length);
    if (streaming_.is_capturing) host("look_through_camera", current_camera_);
}

void TavServer::execute_script(nb::bytes cmd, nb::handle data) {
    auto p = hv::payload(data);
    if (!p) return;
    const uint8_t index = wire::Reader(*p).u8();
    nb::object result = host("execute_script", index, current_camera_);
    int ok = PyObject_RichCompareBool(result.ptr(), Py_True, Py_EQ);
    if (ok < 0) throw nb::python_error();
    wire::Writer w;
    w.code(ok ? static_cast<uint8_t>(cmd.c_str()[0]) : static_cast<uint8_t>(ERR_EXECUTE_SCRIPT));
    w.u8(index);
    send(w.bytes());
}

}  // namespace tav
