// Query commands: one code, one reply; and the current-camera check.
#include <unistd.h>

#include <algorithm>

#include "core/server.hpp"
#include "protocol/host_values.hpp"
#include "protocol/wire.hpp"

namespace tav {

namespace hv = host_values;

namespace {

uint8_t code_of(nb::bytes cmd) {
    if (cmd.size() != 1) throw nb::value_error("a command is one byte");
    return static_cast<uint8_t>(cmd.c_str()[0]);
}

// Code, 32-bit length, payload.
std::string with_length(uint8_t code, std::string_view payload) {
    wire::Writer w;
    w.code(code).u32(static_cast<uint32_t>(payload.size())).raw(payload);
    return w.bytes();
}

}  // namespace

std::string TavServer::platform_ascii() {
    hv::Returned platform(platform_, "platform", "is");
    return hv::checked(platform, "ASCII text", [&] { return hv::ascii(platform); });
}

bool TavServer::check_current_camera() {
    nb::handle cam = current_camera_;
    if (PyUnicode_Check(cam.ptr()) && PyUnicode_GetLength(cam.ptr()) > 0 &&
        hv::truthy(host("get_camera_exists", cam)))
        return true;
    send_code(ERR_MISSING_CAMERA);
    return false;
}

nb::bytes TavServer::get_server_name() {
    char host_name[256] = "";
    if (::gethostname(host_name, sizeof host_name - 1) != 0)
        throw std::runtime_error("gethostname");
    hv::Returned machine(nb::str(host_name), "the machine's host name", "is");
    std::string name = hv::checked(machine, "ASCII text", [&] { return hv::ascii(machine); });
    std::replace(name.begin(), name.end(), '.', '-');
    std::replace(name.begin(), name.end(), '_', '-');
    name += " - " + platform_ascii();
    return nb::bytes(name.data(), name.size());
}

void TavServer::send_server_info(nb::bytes cmd) {
    nb::bytes server_name = get_server_name();
    wire::Writer p;
    p.u16(SERVER_VERSION[0]).u16(SERVER_VERSION[1]).u16(SERVER_VERSION[2]);
    p.raw(platform_ascii()).raw("_").raw(std::string_view(server_name.c_str(), server_name.size()));
    send(with_length(code_of(cmd), p.bytes()));
}

void TavServer::send_scene_status(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    if (!check_current_camera()) return;
    std::vector<double> state = hv::numbers(host("get_playback_state"), 3, "(state, start, end)");
    double focal_length = hv::number(host("get_camera_focal_length", current_camera_));
    wire::Writer w;
    w.code(code).f64(state[0]).f64(state[1]).f64(state[2]).f64(focal_length);
    send(w.bytes());
}

void TavServer::send_scene_cameras(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    hv::Returned cameras = host("get_scene_cameras");
    scene_cameras_ = cameras;
    // The names first: a host that hands back an iterator would see the index lookup consume it.
    std::string names = hv::checked(cameras, "a sequence of camera names in ASCII",
                                    [&] { return hv::ascii(nb::str("$").attr("join")(cameras)); });
    Py_ssize_t found = PySequence_Index(cameras.ptr(), current_camera_.ptr());
    if (found < 0) PyErr_Clear();
    if (found > 0xFFFF)
        hv::fail(cameras, "the current camera among the first 65536", PyExc_OverflowError);
    const uint16_t index = found < 0 ? 0xFFFF : static_cast<uint16_t>(found);
    wire::Writer p;
    p.u16(index).raw(names);
    send(with_length(code, p.bytes()));
}

void TavServer::send_camera_transform(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    if (!check_current_camera()) return;
    std::vector<double> m =
        hv::numbers(host("get_camera_transform", current_camera_), 16, "16 numbers");
    wire::Writer w;
    w.code(code);
    for (double v : m) w.f64(v);
    send(w.bytes());
}

void TavServer::send_play_fps(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    double fps = hv::number(host("get_playback_fps"));
    wire::Writer w;
    w.code(code).f64(fps);
    send(w.bytes());
}

void TavServer::send_camera_has_keys(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    if (!check_current_camera()) return;
    nb::tuple flags = hv::exactly(host("get_camera_has_keys", current_camera_), 2,
                                  "(has transform keys, has focal-length keys)");
    const bool first = hv::truthy(flags[0]), second = hv::truthy(flags[1]);
    // Bit 0: keys of either kind; bit 1: the first flag; bit 2: the second flag.
    uint8_t byte = 0;
    if (first || second) byte = 1 | (first ? 2 : 0) | (second ? 4 : 0);
    wire::Writer w;
    w.code(code).u8(byte);
    send(w.bytes());
}

void TavServer::send_script_info(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    hv::Returned labels = host("get_script_labels");
    std::string text = hv::checked(labels, "a sequence of labels in ASCII, or None", [&] {
        nb::list kept;
        if (hv::truthy(labels)) {
            // An empty label keeps its place, so label i still names script i.
            for (nb::handle label : labels)
                kept.append(hv::truthy(label) ? nb::borrow(label) : nb::str(" "));
        }
        return hv::ascii(nb::str("%").attr("join")(kept));
    });
    send(with_length(code, text));
}

void TavServer::send_plugin_version(nb::bytes cmd) {
    const uint8_t code = code_of(cmd);
    // The constructor saw to a tuple of three integers; each must fit the app's 16 bits.
    hv::Returned version(plugin_version_, "plugin_version", "is");
    nb::tuple v = nb::borrow<nb::tuple>(version);
    wire::Writer w;
    w.code(code);
    hv::checked(version, "three integers of 0 to 65535", [&] {
        for (size_t i = 0; i < 3; ++i) w.u16(hv::u16(v[i]));
    });
    send(w.bytes());
}

}  // namespace tav
