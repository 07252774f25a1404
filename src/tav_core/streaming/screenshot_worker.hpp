// The screenshot worker: grabs a screen region into the frame block for every request.
#pragma once

#include <nanobind/nanobind.h>

namespace tav::streaming {

struct ScreenshotArgs {};

// Holding the GIL: the 9 values of the screenshot argument tuple.
ScreenshotArgs parse_screenshot_args(nanobind::handle args);

// Never touches Python: runs in a forked child.
void run_screenshot(const ScreenshotArgs& args);

// The entry `_sp(args)`: parses holding the GIL, then runs with the GIL released.
void screenshot_entry(nanobind::handle args);

}  // namespace tav::streaming
