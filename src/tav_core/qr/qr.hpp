// The connection QR code: the connection string with the machine's addresses
// (platform/net_addresses.hpp), the QR symbol of a text (qr_symbol.hpp), the pixel geometry both
// renderers share (geometry.hpp), and the renderings: a greyscale pixel array (raw_image.hpp), a
// PNG file (png_file.hpp) and a Qt pixmap (qt_image.hpp); connection_qr.hpp ties them together for
// the server.
#pragma once

#include "qr/connection_qr.hpp"
#include "qr/geometry.hpp"
#include "qr/png_file.hpp"
#include "qr/qr_symbol.hpp"
#include "qr/qt_image.hpp"
#include "qr/raw_image.hpp"
