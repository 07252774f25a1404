// The pixel formats a frame may come in: their names and sizes, in the order of the server's
// CAPFORMAT_UBYTE_* constants. Screenshots always come as kScreenshotFormat.
#pragma once

#include <array>
#include <stdexcept>
#include <string_view>

namespace tav::streaming {

struct PixelFormat {
    std::string_view name;
    int bytes_per_pixel;
};

inline constexpr std::array<PixelFormat, 4> kPixelFormats = {
    {{"rgb", 3}, {"bgr", 3}, {"rgba", 4}, {"bgra", 4}}};

inline constexpr PixelFormat kScreenshotFormat = kPixelFormats[3];

// The format of that name; std::invalid_argument for any other name.
inline const PixelFormat& pixel_format(std::string_view name) {
    for (const PixelFormat& f : kPixelFormats)
        if (f.name == name) return f;
    throw std::invalid_argument(
        "Invalid encoding input_format. Supported values: 'rgb', 'bgr', 'rgba', 'bgra'");
}

inline int bytes_per_pixel(std::string_view name) { return pixel_format(name).bytes_per_pixel; }

}  // namespace tav::streaming
