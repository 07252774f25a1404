// The connection QR code: the connection string with the server's port and this machine's
// addresses, and its renderings as greyscale rows, a Qt pixmap and a PNG file (holding the GIL).
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace tav::qr {

namespace nb = nanobind;

// "PORT_addr1_addr2...": RuntimeError unless the server is serving on a known port. A server
// bound to one `address` is reached there only: the string carries that address alone.
std::string connection_string(bool serving, std::optional<int> port,
                              const std::optional<std::string>& address = std::nullopt);
nb::list net_address_list();
// `text` as rows of grey bytes, `box_size` pixels a module (ValueError for a bad size).
nb::list image_rows(const std::string& text, nb::handle box_size);
nb::object qt_pixmap(const std::string& text, nb::handle box_size);
void write_png_file(const std::string& text, nb::handle file_path, nb::handle box_size);

}  // namespace tav::qr
