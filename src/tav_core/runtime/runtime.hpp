// What every layer above the platform uses: the rules by which native threads use the interpreter
// (python.hpp), daemon threads (daemon_thread.hpp), in-process one-shot events (one_shot.hpp),
// log-line formatting (format.hpp), the package the module was loaded from (package.hpp) and the
// server's version (version.hpp).
#pragma once

#include "runtime/daemon_thread.hpp"
#include "runtime/format.hpp"
#include "runtime/one_shot.hpp"
#include "runtime/package.hpp"
#include "runtime/python.hpp"
#include "runtime/version.hpp"
