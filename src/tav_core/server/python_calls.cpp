#include "server/python_calls.hpp"

#include <nanobind/stl/string.h>

#include <optional>
#include <string>

#include "host/host_values.hpp"
#include "net/net.hpp"
#include "runtime/python.hpp"
#include "streaming/pixel_formats.hpp"
#include "streaming/worker_environment.hpp"

namespace tav {

streaming::LaunchSettings launch_settings(nb::handle python_executable, nb::handle worker_launch) {
    using streaming::WorkerLaunch;
    streaming::LaunchSettings launch;
    launch.how = streaming::default_launch();
    if (!worker_launch.is_none()) {
        const bool text = PyUnicode_CheckExact(worker_launch.ptr());
        const std::string name = text ? nb::cast<std::string>(worker_launch) : std::string();
        if (name == "spawn")
            launch.how = WorkerLaunch::spawn;
        else if (name == "fork")
            launch.how = WorkerLaunch::fork;
        else
            throw nb::value_error("worker_launch must be 'fork' or 'spawn'");
    }
    std::string given;
    if (!python_executable.is_none() && nb::bool_(python_executable)) {
        if (!PyUnicode_CheckExact(python_executable.ptr()))
            py::raise_expected("str", python_executable);
        given = nb::cast<std::string>(python_executable);
    }
    if (launch.how == WorkerLaunch::spawn)
        launch.python =
            given.empty() ? nb::cast<std::string>(streaming::guess_python_executable()) : given;
    return launch;
}

void set_command_codes(nb::handle server) {
    for (const Command& c : kCommands)
        nb::setattr(server, ("_CMD_" + std::string(c.name)).c_str(), command_byte(c.code));
}

void start_encoding(streaming::Stream& stream, nb::handle width, nb::handle height,
                    nb::handle input_format, nb::handle framerate, nb::handle bitrate,
                    nb::handle vflip) {
    if (stream.is_encoding()) return;
    // Any other value is no format: the encoder's own error names the valid ones.
    const std::string format =
        PyUnicode_Check(input_format.ptr()) ? nb::cast<std::string>(input_format) : std::string();
    streaming::pixel_format(format);
    stream.start_encoding(streaming::capture_side(width), streaming::capture_side(height), format,
                          host_values::to_double(framerate), host_values::to_double(bitrate),
                          host_values::truthy(vflip));
}

uint8_t command_code(nb::bytes command) {
    if (command.size() != 1) throw nb::value_error("a command is one byte");
    return static_cast<uint8_t>(command.c_str()[0]);
}

nb::object received_payload(net::ClientLink& link, size_t size) {
    std::optional<std::string> data;
    {
        nb::gil_scoped_release unlocked;
        data = link.recv_payload(size);
    }
    if (!data) return nb::none();
    return nb::bytes(data->data(), data->size());
}

nb::object text_or_none(std::string_view value) {
    if (value.empty()) return nb::none();
    return nb::str(value.data(), value.size());
}

}  // namespace tav
