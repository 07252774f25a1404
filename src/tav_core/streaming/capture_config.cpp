// Capture configuration: how the host delivers pixels, their format, size and flip.
#include "core/server.hpp"
#include "protocol/host_values.hpp"
#include "streaming/pixel_formats.hpp"

namespace tav {

namespace hv = host_values;

void TavServer::set_capture_mode(nb::object capture_mode, nb::object capture_format) {
    if (streaming_.is_capturing)
        throw std::runtime_error("Can't set capture mode while capturing the viewport");
    const streaming::PixelFormat* format = nullptr;
    if (capture_mode.equal(nb::int_(CAPMODE_SCREENSHOT))) {
        format = &streaming::kScreenshotFormat;
    } else if (capture_mode.equal(nb::int_(CAPMODE_BUFFER)) ||
               capture_mode.equal(nb::int_(CAPMODE_BUFFER_POINTER))) {
        static_assert(CAPFORMAT_UBYTE_RGB == 0 &&
                      CAPFORMAT_UBYTE_BGRA + 1 == streaming::kPixelFormats.size());
        for (int f = CAPFORMAT_UBYTE_RGB; f <= CAPFORMAT_UBYTE_BGRA && !format; ++f)
            if (capture_format.equal(nb::int_(f))) format = &streaming::kPixelFormats[f];
        if (!format) throw nb::value_error("Invalid 'capture_format'");
    } else {
        throw nb::value_error("Invalid 'capture_mode'");
    }
    streaming_.pixel_format = nb::str(format->name.data(), format->name.size());
    streaming_.capture_mode = std::move(capture_mode);
    streaming_.capture_format = std::move(capture_format);
}

void TavServer::set_capture_resolution(nb::object width, nb::object height) {
    auto& s = streaming_;
    if (s.is_capturing &&
        (width.not_equal(s.capture_width) || height.not_equal(s.capture_height))) {
        restart_workers(width, height);
    }
    s.capture_width = std::move(width);
    s.capture_height = std::move(height);
}

void TavServer::set_vertical_flip(nb::handle use_vflip) {
    streaming_.use_vflip = hv::truthy(use_vflip);
}

nb::tuple TavServer::clamp_resolution(nb::object width, nb::object height) {
    const double max_w = ENC_MAX_RESOLUTION[0], max_h = ENC_MAX_RESOLUTION[1];
    const double w = hv::to_double(width), h = hv::to_double(height);
    if (w > max_w || h > max_h) {
        const double rw = w / max_w, rh = h / max_h;
        const double r = rw > rh ? rw : rh;
        return nb::make_tuple(w / r, h / r);
    }
    return nb::make_tuple(width, height);
}

}  // namespace tav
