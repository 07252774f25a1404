// The Python face's arguments turned into the core's values, so that each binding only forwards.
// Holding the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string_view>

#include "net/client_link.hpp"
#include "streaming/stream.hpp"
#include "streaming/worker_launch.hpp"

namespace tav {

namespace nb = nanobind;

// How the workers start, from the constructor's arguments: ValueError for a `worker_launch` other
// than 'fork' or 'spawn', TypeError for a `python_executable` that is not exactly text. Only
// spawned workers run an interpreter: a forked server keeps none, a spawning one the given one or
// else the host's own.
streaming::LaunchSettings launch_settings(nb::handle python_executable, nb::handle worker_launch);

// The `_CMD_*` attributes of a new server: each command's code as one byte.
void set_command_codes(nb::handle server);

// `_start_encoding`: nothing while an encoder runs, whatever the arguments; else the encoder
// worker's start (ValueError for an input format outside the four).
void start_encoding(streaming::Stream& stream, nb::handle width, nb::handle height,
                    nb::handle input_format, nb::handle framerate, nb::handle bitrate,
                    nb::handle vflip);

// `_proccess_command`: the code of a one-byte command (ValueError for any other length).
uint8_t command_code(nb::bytes command);

// `_tcp_recv`: `size` bytes of the app's request, read without the GIL; None when the connection
// is gone.
nb::object received_payload(net::ClientLink& link, size_t size);

// The text of `value`, or None when it is empty.
nb::object text_or_none(std::string_view value);

}  // namespace tav
