// The app protocol: command codes (commands.hpp), field encoding (wire.hpp), key-list payloads
// (key_lists.hpp) and socket I/O (socket_io.hpp, net_error.hpp). The network thread, the
// dispatcher and the command handlers are TavServer members defined in this folder.
#pragma once

#include <nanobind/nanobind.h>

#include "protocol/commands.hpp"
#include "protocol/key_lists.hpp"
#include "protocol/net_error.hpp"
#include "protocol/socket_io.hpp"
#include "protocol/wire.hpp"

namespace tav {

// The one-byte byte string of code `n` (0 to 255).
nanobind::bytes command_byte(int n);

// The protocol's table for Python, read-only: name -> Command(code, echo, request, reply), where
// request and reply are payload sizes in bytes, reply is -1 (_WITH_LENGTH) for a 32-bit length
// and its bytes, and None for a code the server never sends.
nanobind::object command_table();

}  // namespace tav
