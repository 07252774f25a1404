// Where the modules of a symbol land in an image, shared by every renderer, and the walk that hands
// a renderer its dark modules.
#pragma once

#include <stdexcept>
#include <string>

#include "qr/qr_symbol.hpp"

namespace tav::qr {

// Quiet zone around the symbol, in modules: the width scanners expect.
inline constexpr int kBorder = 4;

// The largest image side produced. Far above any size a screen shows, and it keeps the pixel
// count (and so the memory of the raw rows) bounded whatever box size is asked for.
inline constexpr int kMaxPixelSize = 16384;

struct Geometry {
    int border;    // quiet-zone width in modules
    int width;     // modules per side of the symbol
    int box_size;  // pixels per module side

    // Throws std::invalid_argument for a box size below 1 or one that makes the image side larger
    // than kMaxPixelSize.
    Geometry(int border_modules, int width_modules, long long box_pixels)
        : border(border_modules), width(width_modules), box_size(static_cast<int>(box_pixels)) {
        if (box_pixels < 1) throw std::invalid_argument("box_size must be a positive integer");
        if (box_pixels > kMaxPixelSize / (width_modules + 2 * border_modules))
            throw std::invalid_argument("box_size too large: the QR image would exceed " +
                                        std::to_string(kMaxPixelSize) + " pixels per side");
    }

    int pixel_size() const { return (width + 2 * border) * box_size; }
    // Top-left pixel of the module at (row, col); the module covers box_size x box_size pixels.
    int left(int col) const { return (col + border) * box_size; }
    int top(int row) const { return (row + border) * box_size; }
};

// Calls factory.drawrect(row, col) for every dark module of `symbol`, row by row.
template <typename Factory>
void draw_symbol(const Symbol& symbol, Factory& factory) {
    for (int row = 0; row < symbol.width(); ++row)
        for (int col = 0; col < symbol.width(); ++col)
            if (symbol.dark(row, col)) factory.drawrect(row, col);
}

}  // namespace tav::qr
