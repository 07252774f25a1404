#include "streaming/screenshot_worker.hpp"

#include <stdexcept>

namespace tav::streaming {

ScreenshotArgs parse_screenshot_args(nanobind::handle) {
    throw std::runtime_error(
        "Screenshot capture is not available: this build has no screen grabber");
}

void run_screenshot(const ScreenshotArgs&) {}

void screenshot_entry(nanobind::handle args) {
    ScreenshotArgs a = parse_screenshot_args(args);
    nanobind::gil_scoped_release release;
    run_screenshot(a);
}

}  // namespace tav::streaming
