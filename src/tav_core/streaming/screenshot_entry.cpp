#include "streaming/screenshot_entry.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "host/host_values.hpp"
#include "streaming/worker_args.hpp"

namespace tav::streaming {

namespace {

constexpr size_t kArgCount = 9;
constexpr long kMaxSide = 32767;    // the X protocol's limit for a rectangle
constexpr double kMaxOffset = 1e9;  // far beyond any screen, and safely an int

const ArgReader kArgs("Invalid screenshot ");

[[noreturn]] void invalid(const std::string& what) { kArgs.invalid(what); }

// A screen coordinate; a fractional one (a scaled position) is rounded to the nearest pixel.
int coordinate(nb::handle value, const char* name) {
    const double v = host_values::to_double(value);
    if (!std::isfinite(v) || std::fabs(v) > kMaxOffset)
        invalid(std::string("region: ") + name + " must be a finite screen coordinate");
    return static_cast<int>(std::lround(v));
}

int side(nb::handle value, const char* name) {
    const long v = nb::cast<long>(value);
    if (v < 1 || v > kMaxSide)
        invalid(std::string("region: ") + name + " must be 1 to 32767 pixels");
    return static_cast<int>(v);
}

}  // namespace

Region screenshot_region(nb::handle x, nb::handle y, nb::handle width, nb::handle height) {
    return {coordinate(x, "x"), coordinate(y, "y"), side(width, "width"), side(height, "height")};
}

ScreenshotArgs parse_screenshot_args(nb::handle args) {
    nb::tuple t = nb::tuple(nb::borrow(args));
    if (t.size() != kArgCount)
        throw std::invalid_argument(
            "The screenshot argument tuple must hold exactly 9 values, not " +
            std::to_string(t.size()));
    ScreenshotArgs a;
    const Region& r = a.region = screenshot_region(t[0], t[1], t[2], t[3]);

    nb::tuple buffer = kArgs.sequence(t[4], 2, "buffer_share (name, size)");
    if (!nb::isinstance<nb::str>(buffer[0])) invalid("buffer_share: the name must be text");
    a.shm_name = nb::cast<std::string>(buffer[0]);
    const long long size = nb::cast<long long>(buffer[1]);
    if (size < 0 || static_cast<size_t>(size) < region_frame_size(r)) invalid(kBlockTooSmall);
    a.shm_size = static_cast<size_t>(size);

    a.shm_lock = kArgs.lock(t[5], "shm_lock_share");
    a.new_frame_event = kArgs.event(t[6], "new_fr_ev_share");
    a.keep_screenshot_event = kArgs.event(t[7], "keep_ss_ev_share");
    a.new_screenshot_event = kArgs.event(t[8], "new_ss_ev_share");
    a.parent_pid = platform::current_process();
    return a;
}

void screenshot_entry(nb::handle args) {
    run_forked_entry(args, "_sp", parse_screenshot_args, run_screenshot);
}

}  // namespace tav::streaming
