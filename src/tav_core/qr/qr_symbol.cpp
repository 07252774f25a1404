#include "qr/qr_symbol.hpp"

#include <qrencode.h>

#include <cerrno>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>

namespace tav::qr {

namespace {

struct QRcodeFree {
    void operator()(QRcode* code) const { ::QRcode_free(code); }
};

}  // namespace

Symbol Symbol::encode(std::string_view text) {
    // Byte mode takes any text as it is: case and every character survive, and a scanner returns
    // exactly these bytes. Version 0 asks for the smallest version that fits.
    std::unique_ptr<QRcode, QRcodeFree> code(
        ::QRcode_encodeData(static_cast<int>(text.size()),
                            reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code) {
        if (errno == ERANGE) throw std::invalid_argument("text too long for a QR code");
        if (errno == EINVAL) throw std::invalid_argument("text cannot be encoded as a QR code");
        if (errno == ENOMEM) throw std::bad_alloc();
        throw std::system_error(errno, std::generic_category(), "QR encoding");
    }
    int width = code->width;
    std::vector<bool> dark(static_cast<size_t>(width) * width);
    // libqrencode keeps flags in the upper bits of each module byte; bit 0 is the colour.
    for (size_t i = 0; i < dark.size(); ++i) dark[i] = code->data[i] & 1;
    return Symbol(width, std::move(dark));
}

}  // namespace tav::qr
