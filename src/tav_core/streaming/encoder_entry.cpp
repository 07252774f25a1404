#include "streaming/encoder_entry.hpp"

#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/socket.hpp"
#include "streaming/pixel_formats.hpp"
#include "streaming/worker_args.hpp"

namespace tav::streaming {

namespace {

constexpr size_t kArgCount = 16;

std::string text_arg(nb::handle value, const char* error) {
    if (!nb::isinstance<nb::str>(value)) throw std::invalid_argument(error);
    return nb::cast<std::string>(value);
}

const ArgReader kArgs("Invalid encoder ");

uint8_t code_arg(nb::handle value) {
    if (nb::isinstance<nb::bytes>(value)) {
        nb::bytes b = nb::borrow<nb::bytes>(value);
        if (b.size() == 1) return static_cast<uint8_t>(b.c_str()[0]);
    } else if (nb::isinstance<nb::int_>(value)) {
        long n = nb::cast<long>(value);
        if (n >= 0 && n <= 255) return static_cast<uint8_t>(n);
    }
    throw std::invalid_argument("Invalid encoder img_cmd: one byte expected");
}

// The app's channel as the worker was handed it: a descriptor number, or (Windows) the socket's
// duplication record, of which a socket of this process is made.
platform::Socket socket_arg(nb::handle share) {
    if (nb::isinstance<nb::bytes>(share)) {
        nb::bytes record = nb::borrow<nb::bytes>(share);
        platform::Socket s = platform::socket_from_record({record.c_str(), record.size()});
        if (s == platform::kNoSocket)
            throw std::system_error(platform::socket_error(), std::system_category(),
                                    "Invalid encoder socket_share");
        return s;
    }
    const int fd = nb::cast<int>(share);
    if (fd < 0) throw std::invalid_argument("Invalid encoder socket_share: no descriptor");
    return static_cast<platform::Socket>(fd);
}

}  // namespace

EncoderArgs parse_encoder_args(nb::handle args) {
    nb::tuple t = nb::tuple(nb::borrow(args));
    if (t.size() != kArgCount)
        throw std::invalid_argument("The encoder argument tuple must hold exactly 16 values, not " +
                                    std::to_string(t.size()));
    EncoderArgs a;
    EncoderSettings& e = a.encoder;
    e.input_width = nb::cast<int>(t[0]);
    e.input_height = nb::cast<int>(t[1]);
    e.input_format = text_arg(
        t[2], "Invalid encoding input_format. Supported values: 'rgb', 'bgr', 'rgba', 'bgra'");
    e.output_width = nb::cast<double>(t[3]);
    e.output_height = nb::cast<double>(t[4]);
    a.output_format = text_arg(t[5], "Invalid encoding output_format. Supported values: 'yuv420p'");
    if (a.output_format != "yuv420p")
        throw std::invalid_argument("Invalid encoding output_format. Supported values: 'yuv420p'");
    e.framerate = nb::cast<double>(t[6]);
    e.bitrate_mbps = nb::cast<double>(t[7]);
    int vflip = PyObject_IsTrue(t[8].ptr());
    if (vflip < 0) throw nb::python_error();
    e.vflip = vflip == 1;
    check_settings(e);
    a.img_cmd = code_arg(t[9]);

    nb::tuple buffer = kArgs.sequence(t[10], 2, "buffer_share (name, size)");
    a.shm_name = text_arg(buffer[0], "Invalid encoder buffer_share: the name must be text");
    long long shm_size = nb::cast<long long>(buffer[1]);
    size_t frame_size = static_cast<size_t>(e.input_width) * static_cast<size_t>(e.input_height) *
                        static_cast<size_t>(bytes_per_pixel(e.input_format));
    if (shm_size < 0 || static_cast<size_t>(shm_size) < frame_size)
        throw std::invalid_argument(
            "Invalid encoder buffer_share: the block is smaller than a frame");
    a.shm_size = static_cast<size_t>(shm_size);

    a.socket_fd = socket_arg(t[11]);
    a.socket_lock = kArgs.lock(t[12], "sock_lock_share");
    a.shm_lock = kArgs.lock(t[13], "shm_lock_share");
    a.new_frame_event = kArgs.event(t[14], "new_fr_ev_share");
    a.keep_encoding_event = kArgs.event(t[15], "keep_enc_ev_share");
    a.parent_pid = platform::current_process();
    return a;
}

void encoder_entry(nb::handle args) {
    run_forked_entry(args, "_ep", parse_encoder_args, run_encoder);
}

}  // namespace tav::streaming
