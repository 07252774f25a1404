// The module's screenshot entry `_sp(args)`: the argument tuple, read holding the GIL, as the C++
// arguments of the screenshot worker (screenshot_worker.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include "streaming/screenshot_worker.hpp"

namespace tav::streaming {

namespace nb = nanobind;

// Holding the GIL: the region of those values (ValueError, std::invalid_argument, for a region
// beyond the screen's coordinates or sides outside 1 to 32767 pixels).
Region screenshot_region(nb::handle x, nb::handle y, nb::handle width, nb::handle height);

// Holding the GIL. ValueError (std::invalid_argument) unless `args` holds exactly 9 valid values.
ScreenshotArgs parse_screenshot_args(nb::handle args);

// The entry `_sp(args)`: parses holding the GIL, then runs with the GIL released.
void screenshot_entry(nb::handle args);

}  // namespace tav::streaming
