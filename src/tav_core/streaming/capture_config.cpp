#include "streaming/capture_config.hpp"

#include "host/host_values.hpp"

namespace tav::streaming {

namespace hv = host_values;

void CaptureConfig::set_mode(nb::object capture_mode, nb::object capture_format) {
    std::optional<CaptureMode> new_mode;
    const PixelFormat* format = nullptr;
    if (capture_mode.equal(nb::int_(static_cast<int>(CaptureMode::screenshot)))) {
        new_mode = CaptureMode::screenshot;
        format = &kScreenshotFormat;
    } else {
        for (CaptureMode m : {CaptureMode::buffer, CaptureMode::buffer_pointer})
            if (capture_mode.equal(nb::int_(static_cast<int>(m)))) new_mode = m;
        if (!new_mode) throw nb::value_error("Invalid 'capture_mode'");
        static_assert(static_cast<size_t>(CaptureFormat::bgra) + 1 == kPixelFormats.size());
        for (size_t f = 0; f < kPixelFormats.size() && !format; ++f)
            if (capture_format.equal(nb::int_(f))) format = &kPixelFormats[f];
        if (!format) throw nb::value_error("Invalid 'capture_format'");
    }
    mode = new_mode;
    pixels = format;
    given_mode = std::move(capture_mode);
    given_format = std::move(capture_format);
}

long capture_side(nb::handle value) {
    hv::to_double(value);
    return nb::cast<long>(value);
}

std::pair<double, double> clamped_size(double w, double h) {
    if (!(w > kMaxEncodedSide || h > kMaxEncodedSide)) return {w, h};
    const double rw = w / kMaxEncodedSide, rh = h / kMaxEncodedSide;
    const double r = rw > rh ? rw : rh;
    return {w / r, h / r};
}

nb::tuple clamp_resolution(nb::object width, nb::object height) {
    const double w = hv::to_double(width), h = hv::to_double(height);
    if (!(w > kMaxEncodedSide || h > kMaxEncodedSide)) return nb::make_tuple(width, height);
    const auto [cw, ch] = clamped_size(w, h);
    return nb::make_tuple(cw, ch);
}

}  // namespace tav::streaming
