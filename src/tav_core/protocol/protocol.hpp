// The app protocol: command codes (commands.hpp), field encoding (wire.hpp), key-list payloads
// (key_lists.hpp) and socket I/O (socket_io.hpp, net_error.hpp); the listening socket
// (listener.hpp), the app connection (connection.hpp) with its bit-rate control
// (rate_controller.hpp) and the link every piece sends through
// (client_link.hpp); the app's session with the network thread and the dispatcher
// (app_session.hpp), the routes of the codes (command_table.hpp), the handlers (handlers.hpp) and
// the session's cameras (cameras.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include "protocol/app_session.hpp"
#include "protocol/cameras.hpp"
#include "protocol/client_link.hpp"
#include "protocol/command_table.hpp"
#include "protocol/commands.hpp"
#include "protocol/connection.hpp"
#include "protocol/handlers.hpp"
#include "protocol/key_lists.hpp"
#include "protocol/listener.hpp"
#include "protocol/net_error.hpp"
#include "protocol/rate_controller.hpp"
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
