// The top: TavServer (tav_server.hpp), the thin object the Python API binds (bindings.hpp, by
// area), with its serving lifecycle and identity (server_identity.hpp); the app's session with the
// network thread and the dispatcher (app_session.hpp), admission of a new app (admission.hpp), the
// routes of the codes (command_table.hpp) and the handlers (handlers.hpp: queries.cpp,
// settings.cpp, actions.cpp); the extension module itself (module.cpp). The threads, the locks and
// the GIL of the whole server: docs/threads.md.
#pragma once

#include "server/admission.hpp"
#include "server/app_session.hpp"
#include "server/bindings.hpp"
#include "server/command_table.hpp"
#include "server/handlers.hpp"
#include "server/server_identity.hpp"
#include "server/tav_server.hpp"
