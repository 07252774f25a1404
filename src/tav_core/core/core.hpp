// The server core: TavServer (server.hpp) with its lifecycle and event dispatch, the rules by
// which native threads use the interpreter (python.hpp), daemon threads (daemon_thread.hpp), the
// pull-mode queue (callback_queue.hpp) and in-process events (one_shot.hpp). The threads, the
// locks and the GIL of the whole server: docs/threads.md.
#pragma once

#include "core/callback_queue.hpp"
#include "core/daemon_thread.hpp"
#include "core/one_shot.hpp"
#include "core/package.hpp"
#include "core/python.hpp"
#include "core/server.hpp"
