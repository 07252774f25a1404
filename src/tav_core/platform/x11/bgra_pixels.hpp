// Turning a screen's pixel rows into B, G, R, A bytes with an opaque alpha.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav::platform {

// How one pixel sits in memory: its size and byte order, and where each channel's bits are.
struct PixelLayout {
    int bits_per_pixel = 32;
    bool big_endian = false;  // byte order of the pixel value in memory
    uint32_t red_mask = 0xff0000, green_mask = 0xff00, blue_mask = 0xff;

    // 32-bit pixels whose bytes already are B, G, R and a fourth byte of no meaning: the layout
    // of nearly every 24- and 32-bit screen, converted by setting the alpha byte alone.
    bool is_bgrx() const;
};

// std::runtime_error for a layout that to_bgra cannot read (palettes, odd pixel sizes).
void check_layout(const PixelLayout& layout);

// Writes `pixels` pixels read from `src` in `layout` to `dst` as B, G, R, 255. One pass: for the
// common layout this is a copy that sets every fourth byte.
void to_bgra(const PixelLayout& layout, const uint8_t* src, uint8_t* dst, size_t pixels);

// Fills `pixels` pixels at `dst` with opaque black.
void fill_black(uint8_t* dst, size_t pixels);

}  // namespace tav::platform
