#include "qr/raw_image.hpp"

#include <algorithm>

namespace tav::qr {

RawImage::RawImage(const Geometry& geometry)
    : geometry_(geometry),
      pixels_(static_cast<size_t>(geometry.pixel_size()) * geometry.pixel_size(), 255) {}

void RawImage::drawrect(int row, int col) {
    int side = pixel_size(), box = geometry_.box_size;
    int x = geometry_.left(col);
    for (int y = geometry_.top(row); y < geometry_.top(row) + box; ++y) {
        auto start = pixels_.begin() + static_cast<ptrdiff_t>(y) * side + x;
        std::fill(start, start + box, uint8_t{0});
    }
}

}  // namespace tav::qr
