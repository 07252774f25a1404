// A QR code symbol: the square grid of dark and light modules that encodes a text.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tav::qr {

class Symbol {
  public:
    // Encodes `text` (its bytes, in byte mode) in the smallest symbol version that holds it, with
    // error-correction level M. Throws std::invalid_argument when no QR version can hold it (or it
    // is empty).
    static Symbol encode(std::string_view text);

    // Modules per side, without the quiet zone.
    int width() const { return width_; }
    bool dark(int row, int col) const { return dark_[static_cast<size_t>(row) * width_ + col]; }

  private:
    Symbol(int width, std::vector<bool> dark) : width_(width), dark_(std::move(dark)) {}
    int width_;
    std::vector<bool> dark_;  // row-major
};

}  // namespace tav::qr
