// Query commands: one code, one reply.
#include <algorithm>

#include "host/host_values.hpp"
#include "net/commands.hpp"
#include "net/wire.hpp"
#include "platform/host_name.hpp"
#include "runtime/version.hpp"
#include "server/handlers.hpp"

namespace tav::handlers {

namespace hv = host_values;

namespace {

std::string platform_ascii(const ServerIdentity& identity) {
    hv::Returned platform(identity.platform, "platform", "is");
    return hv::checked(platform, "ASCII text", [&] { return hv::ascii(platform); });
}

// This machine's host name and the platform: "machine-name - Platform".
std::string server_name(const ServerIdentity& identity) {
    std::optional<std::string> host_name = platform::host_name();
    if (!host_name) throw std::runtime_error("gethostname");
    hv::Returned machine(nb::str(host_name->c_str()), "the machine's host name", "is");
    std::string name = hv::checked(machine, "ASCII text", [&] { return hv::ascii(machine); });
    std::replace(name.begin(), name.end(), '.', '-');
    std::replace(name.begin(), name.end(), '_', '-');
    name += " - " + platform_ascii(identity);
    return name;
}

// Code, 32-bit length, payload.
void send_with_length(CommandContext& c, const Request& r, std::string_view payload) {
    const char code = static_cast<char>(r.code);
    c.link.send_with_length(std::string_view(&code, 1), payload);
}

}  // namespace

void send_server_info(CommandContext& c, const Request& r) {
    const std::string name = server_name(c.identity);
    wire::Writer p;
    for (int part : kVersion) p.u16(static_cast<uint16_t>(part));
    p.raw(platform_ascii(c.identity)).raw("_").raw(name);
    send_with_length(c, r, p.bytes());
}

void send_scene_status(CommandContext& c, const Request& r) {
    if (!c.cameras.check(c.host, c.link)) return;
    std::vector<double> state =
        hv::numbers(c.host.call("get_playback_state"), 3, "(start, end, current frame)");
    double focal_length = hv::number(c.host.call("get_camera_focal_length", c.cameras.current));
    wire::Writer w;
    w.code(r.code).f64(state[0]).f64(state[1]).f64(state[2]).f64(focal_length);
    c.link.send(w.bytes());
}

void send_scene_cameras(CommandContext& c, const Request& r) {
    hv::Returned cameras = c.host.call("get_scene_cameras");
    c.cameras.listed = cameras;
    // The names first: a host that hands back an iterator would see the index lookup consume it.
    std::string names = hv::checked(cameras, "a sequence of camera names in ASCII",
                                    [&] { return hv::ascii(nb::str("$").attr("join")(cameras)); });
    Py_ssize_t found = PySequence_Index(cameras.ptr(), c.cameras.current.ptr());
    if (found < 0) PyErr_Clear();
    if (found > 0xFFFF)
        hv::fail(cameras, "the current camera among the first 65536", PyExc_OverflowError);
    const uint16_t index = found < 0 ? 0xFFFF : static_cast<uint16_t>(found);
    wire::Writer p;
    p.u16(index).raw(names);
    send_with_length(c, r, p.bytes());
}

void send_camera_transform(CommandContext& c, const Request& r) {
    if (!c.cameras.check(c.host, c.link)) return;
    std::vector<double> m =
        hv::numbers(c.host.call("get_camera_transform", c.cameras.current), 16, "16 numbers");
    wire::Writer w;
    w.code(r.code);
    for (double v : m) w.f64(v);
    c.link.send(w.bytes());
}

void send_play_fps(CommandContext& c, const Request& r) {
    double fps = hv::number(c.host.call("get_playback_fps"));
    wire::Writer w;
    w.code(r.code).f64(fps);
    c.link.send(w.bytes());
}

void send_camera_has_keys(CommandContext& c, const Request& r) {
    if (!c.cameras.check(c.host, c.link)) return;
    nb::tuple flags = hv::exactly(c.host.call("get_camera_has_keys", c.cameras.current), 2,
                                  "(has transform keys, has focal-length keys)");
    const bool first = hv::truthy(flags[0]), second = hv::truthy(flags[1]);
    // Bit 0: keys of either kind; bit 1: the first flag; bit 2: the second flag.
    uint8_t byte = 0;
    if (first || second) byte = 1 | (first ? 2 : 0) | (second ? 4 : 0);
    wire::Writer w;
    w.code(r.code).u8(byte);
    c.link.send(w.bytes());
}

void send_script_info(CommandContext& c, const Request& r) {
    hv::Returned labels = c.host.call("get_script_labels");
    std::string text = hv::checked(labels, "a sequence of labels in ASCII, or None", [&] {
        nb::list kept;
        if (hv::truthy(labels)) {
            // An empty label keeps its place, so label i still names script i.
            for (nb::handle label : labels)
                kept.append(hv::truthy(label) ? nb::borrow(label) : nb::str(" "));
        }
        return hv::ascii(nb::str("%").attr("join")(kept));
    });
    send_with_length(c, r, text);
}

void send_plugin_version(CommandContext& c, const Request& r) {
    // The constructor saw to a tuple of three integers; each must fit the app's 16 bits.
    hv::Returned version(c.identity.plugin_version, "plugin_version", "is");
    nb::tuple v = nb::borrow<nb::tuple>(version);
    wire::Writer w;
    w.code(r.code);
    hv::checked(version, "three integers of 0 to 65535", [&] {
        for (size_t i = 0; i < 3; ++i) w.u16(hv::u16(v[i]));
    });
    c.link.send(w.bytes());
}

}  // namespace tav::handlers
