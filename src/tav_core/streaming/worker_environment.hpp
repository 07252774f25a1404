// What a spawned worker interpreter needs: its environment and the host's interpreter path.
#pragma once

#include <nanobind/nanobind.h>

namespace tav::streaming {

namespace nb = nanobind;

// A copy of os.environ whose PYTHONPATH is the host's sys.path.
nb::dict worker_environment();
// The host's interpreter executable: itself when the host is a Python, else the interpreter
// beside its standard library or under its prefixes (its own version first), else sys.executable.
nb::str guess_python_executable();

}  // namespace tav::streaming
