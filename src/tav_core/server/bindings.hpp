// The Python API of TavServer, bound by area: the object, its constants, serving and the QR code
// (bind_lifecycle.cpp), the read-only properties (bind_properties.cpp), the capture and the stream
// with its workers (bind_streaming.cpp), and the underscore names that tests and plug-ins reach
// (bind_internals.cpp). Bindings only forward: what turns Python's values into the core's is in
// python_calls.hpp.
#pragma once

#include <nanobind/nanobind.h>

#include "server/tav_server.hpp"

namespace tav {

namespace nb = nanobind;

using ServerClass = nb::class_<TavServer>;

// Binds TavServer into the extension module, all four areas.
void bind_server(nb::module_& m);

void bind_properties(ServerClass& cls);
void bind_streaming(ServerClass& cls);
void bind_internals(ServerClass& cls);

}  // namespace tav
