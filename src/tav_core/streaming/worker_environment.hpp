// What a spawned worker interpreter would need: its environment and the host's interpreter path.
// Workers are forked on this platform; both stay available to plug-ins that spawn their own.
#pragma once

#include <nanobind/nanobind.h>

namespace tav::streaming {

namespace nb = nanobind;

// A copy of os.environ whose PYTHONPATH is the host's sys.path.
nb::dict worker_environment();
// The host's interpreter executable: next to the standard library, else sys.executable.
nb::str guess_python_executable();

}  // namespace tav::streaming
