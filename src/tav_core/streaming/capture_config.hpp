// How the host delivers its frames: the capture mode, the channel order of buffer frames, the
// size and the vertical flip. The host sets them from capture_will_start.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string_view>
#include <utility>

#include "streaming/pixel_formats.hpp"

namespace tav::streaming {

namespace nb = nanobind;

// The values of the server's CAPMODE_* and CAPFORMAT_UBYTE_* constants.
enum class CaptureMode { screenshot = 0, buffer = 1, buffer_pointer = 2 };
enum class CaptureFormat { rgb = 0, bgr = 1, rgba = 2, bgra = 3 };

struct CaptureConfig {
    std::optional<CaptureMode> mode;
    const PixelFormat* pixels = nullptr;  // of the frames the host hands over
    // As the host gave them, for its properties (a mode is compared by value: 1.0 is a buffer
    // mode, and stays 1.0). Sizes are converted where a worker starts; none when unset.
    nb::object given_mode = nb::none(), given_format = nb::none();
    nb::object width = nb::none(), height = nb::none();
    bool vflip = false;

    // ValueError for a mode or (buffer modes) format that is none of the constants.
    void set_mode(nb::object capture_mode, nb::object capture_format);
    // Whether the frames carry alpha for the app (screenshots never do).
    bool has_alpha() const {
        return mode && mode != CaptureMode::screenshot && pixels->bytes_per_pixel == 4;
    }
    // The name of the frames' pixel format ("rgb", ...), empty before the host set one.
    std::string_view pixel_format_name() const { return pixels ? pixels->name : ""; }
};

// A width or height the host gave, as a worker takes it: TypeError for what is no number.
long capture_side(nb::handle value);

// The largest frame the encoder is given; larger captures are scaled down into it.
inline constexpr int kMaxEncodedSide = 720;

// The size a capture of `width` x `height` is encoded at: itself when it fits kMaxEncodedSide,
// otherwise scaled down to fit, keeping its aspect.
std::pair<double, double> clamped_size(double width, double height);
// The same for the values a host gave: those very values when they fit.
nb::tuple clamp_resolution(nb::object width, nb::object height);

}  // namespace tav::streaming
