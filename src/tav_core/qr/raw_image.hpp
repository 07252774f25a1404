// The QR code as greyscale pixels: 255 (white) everywhere, 0 (black) on dark modules.
#pragma once

#include <cstdint>
#include <vector>

#include "qr/geometry.hpp"

namespace tav::qr {

class RawImage {
  public:
    explicit RawImage(const Geometry& geometry);

    void drawrect(int row, int col);  // paints the module at (row, col) black

    const Geometry& geometry() const { return geometry_; }
    int pixel_size() const { return geometry_.pixel_size(); }
    // pixel_size rows of pixel_size bytes, top row first, no gaps between rows.
    const std::vector<uint8_t>& pixels() const { return pixels_; }
    const uint8_t* row(int y) const {
        return pixels_.data() + static_cast<size_t>(y) * pixel_size();
    }

  private:
    Geometry geometry_;
    std::vector<uint8_t> pixels_;
};

}  // namespace tav::qr
