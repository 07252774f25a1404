// The QR code as a PNG file: 8-bit greyscale, no alpha, one PNG row per image row.
#pragma once

#include <string>

#include "qr/raw_image.hpp"

namespace tav::qr {

// Writes `image` to `path`, replacing an existing file, the way a file opened for writing would
// (same permissions, same errors). Throws std::system_error with the errno of a failed open,
// write or close, and then leaves no partial file behind; std::runtime_error when the PNG cannot be
// encoded, before the file is touched. Call without the GIL: it blocks on the file system.
void write_png(const std::string& path, const RawImage& image);

}  // namespace tav::qr
