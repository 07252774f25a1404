#include "streaming/worker_launch.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "platform/descriptors.hpp"
#include "platform/socket.hpp"
#include "runtime/package.hpp"
#include "streaming/encoder_entry.hpp"
#include "streaming/screenshot_entry.hpp"
#include "streaming/worker_environment.hpp"
#include "streaming/worker_life.hpp"

namespace tav::streaming {

namespace {

nb::bytes bytes(const std::string& s) { return nb::bytes(s.data(), s.size()); }

// How the worker reaches a socket: its descriptor number there, or (Windows) the socket's
// duplication record for the worker.
nb::object socket_share(platform::Socket s, const platform::HandOver& to) {
    const platform::Handle handle = platform::socket_handle(s);
    if (handle != platform::kNoHandle) return nb::int_(to.pass(handle));
    const std::string record = platform::socket_record(s, to.child);
    if (record.empty())
        throw std::system_error(platform::socket_error(), std::system_category(), "socket share");
    return bytes(record);
}

nb::tuple event_share(const ipc::Event& event, const platform::HandOver& to) {
    auto d = event.share(&to);
    return nb::make_tuple(bytes(d[0]), bytes(d[1]), bytes(d[2]));
}

// The argument tuple on standard input (holding the GIL).
nb::object read_argument_tuple(const char* entry) {
    uint8_t size[4];
    std::string data;
    {
        nb::gil_scoped_release release;
        const platform::Handle input = platform::standard_input();
        if (platform::read_exactly(input, size, sizeof size)) {
            data.resize(uint32_t(size[0]) | uint32_t(size[1]) << 8 | uint32_t(size[2]) << 16 |
                        uint32_t(size[3]) << 24);
            if (!platform::read_exactly(input, data.data(), data.size())) data.clear();
        }
    }
    if (data.empty())
        throw std::invalid_argument(std::string(entry) +
                                    " needs its argument tuple: the argument block on standard "
                                    "input is missing or cut short");
    return nb::module_::import_("pickle").attr("loads")(bytes(data));
}

// Tells the server the worker took its arguments; then runs it without the GIL.
template <typename Args>
void run_spawned(Args args, int (*run)(const Args&)) {
    args.parent_pid = platform::parent_process();  // any other process than this one
    ParentWatch::set_lifeline(platform::standard_input());
    int status;
    {
        nb::gil_scoped_release release;
        platform::write_all(platform::standard_output(), kReadyMark);
        status = run(args);
    }
    if (status != 0) {
        PyErr_SetObject(PyExc_SystemExit, nb::int_(status).ptr());
        throw nb::python_error();
    }
}

}  // namespace

std::string_view launch_name(WorkerLaunch how) {
    return how == WorkerLaunch::spawn ? "spawn" : "fork";
}

WorkerLaunch default_launch() {
#if defined(__linux__)
    return WorkerLaunch::fork;
#else
    return WorkerLaunch::spawn;  // a forked child of a macOS host may not touch its frameworks
#endif
}

nb::tuple encoder_tuple(const EncoderArgs& a, const platform::HandOver& to) {
    const EncoderSettings& e = a.encoder;
    nb::object socket = socket_share(a.socket_fd, to);
    nb::bytes socket_lock = bytes(a.socket_lock->share(&to));
    nb::bytes shm_lock = bytes(a.shm_lock->share(&to));
    nb::tuple new_frame = event_share(*a.new_frame_event, to);
    nb::tuple keep = event_share(*a.keep_encoding_event, to);
    return nb::make_tuple(e.input_width, e.input_height, e.input_format, e.output_width,
                          e.output_height, a.output_format, e.framerate, e.bitrate_mbps, e.vflip,
                          a.img_cmd, nb::make_tuple(a.shm_name, a.shm_size), socket, socket_lock,
                          shm_lock, new_frame, keep);
}

nb::tuple screenshot_tuple(const ScreenshotArgs& a, const platform::HandOver& to) {
    const Region& r = a.region;
    nb::bytes shm_lock = bytes(a.shm_lock->share(&to));
    nb::tuple new_frame = event_share(*a.new_frame_event, to);
    nb::tuple keep = event_share(*a.keep_screenshot_event, to);
    nb::tuple wake = event_share(*a.new_screenshot_event, to);
    return nb::make_tuple(r.x, r.y, r.width, r.height, nb::make_tuple(a.shm_name, a.shm_size),
                          shm_lock, new_frame, keep, wake);
}

std::string argument_block(nb::handle tuple) {
    nb::bytes data = nb::borrow<nb::bytes>(nb::module_::import_("pickle").attr("dumps")(tuple));
    const uint32_t n = static_cast<uint32_t>(data.size());
    std::string block;
    for (int shift = 0; shift < 32; shift += 8) block += static_cast<char>((n >> shift) & 0xff);
    block.append(data.c_str(), data.size());
    return block;
}

std::vector<std::string> worker_command(const std::string& python, const char* entry) {
    const std::string module = package_module("tav_core");
    return {python, "-c", "from " + module + " import " + entry + "; " + entry + "()"};
}

std::vector<std::string> worker_environment_entries() {
    std::vector<std::string> out;
    for (auto [name, value] : worker_environment())
        out.push_back(nb::cast<std::string>(nb::str(name)) + "=" +
                      nb::cast<std::string>(nb::str(value)));
    return out;
}

void run_spawned_encoder() {
    run_spawned(parse_encoder_args(read_argument_tuple("_ep")), &run_encoder);
}

void run_spawned_screenshot() {
    run_spawned(parse_screenshot_args(read_argument_tuple("_sp")), &run_screenshot);
}

}  // namespace tav::streaming
