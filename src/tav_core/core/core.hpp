// The server core: TavServer (server.hpp), the thin object the Python API binds
// (server_binding.cpp), with its serving lifecycle; the host bridge, the only way into the host's
// Python (host_bridge.hpp), and the checks of the values the host hands over (host_values.hpp); the
// rules by which native threads use the interpreter (python.hpp); daemon threads
// (daemon_thread.hpp), log-line formatting (format.hpp), the pull-mode queue (callback_queue.hpp),
// in-process events (one_shot.hpp); the serving flags (serving_state.hpp), the server's identity
// (server_identity.hpp) and version (version.hpp). The threads, the locks and the GIL of the whole
// server: docs/threads.md.
#pragma once

#include "core/callback_queue.hpp"
#include "core/daemon_thread.hpp"
#include "core/format.hpp"
#include "core/host_bridge.hpp"
#include "core/host_values.hpp"
#include "core/one_shot.hpp"
#include "core/package.hpp"
#include "core/python.hpp"
#include "core/server.hpp"
#include "core/server_identity.hpp"
#include "core/serving_state.hpp"
#include "core/version.hpp"
