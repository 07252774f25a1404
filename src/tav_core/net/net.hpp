// The app connection, below the server: command codes (commands.hpp), field encoding (wire.hpp),
// key-list payloads (key_lists.hpp) and socket I/O (socket_io.hpp, net_error.hpp); the listening
// socket (listener.hpp), the app connection (connection.hpp) with its writer and bit-rate control
// (rate_controller.hpp), the link every piece sends through (client_link.hpp) and the serving flags
// (serving_state.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include "net/client_link.hpp"
#include "net/commands.hpp"
#include "net/connection.hpp"
#include "net/key_lists.hpp"
#include "net/listener.hpp"
#include "net/net_error.hpp"
#include "net/rate_controller.hpp"
#include "net/serving_state.hpp"
#include "net/socket_io.hpp"
#include "net/wire.hpp"

namespace tav {

// The one-byte byte string of code `n` (0 to 255).
nanobind::bytes command_byte(int n);

// The protocol's table for Python, read-only: name -> Command(code, echo, request, reply), where
// request and reply are payload sizes in bytes, reply is -1 (_WITH_LENGTH) for a 32-bit length
// and its bytes, and None for a code the server never sends.
nanobind::object command_table();

}  // namespace tav
