#include "streaming/encoder_worker.hpp"

#include <nanobind/stl/string.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cerrno>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "ipc/shm.hpp"
#include "net/socket_io.hpp"
#include "net/wire.hpp"
#include "streaming/pixel_formats.hpp"
#include "streaming/worker_args.hpp"
#include "streaming/worker_life.hpp"

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

// The worker's hold on the app connection and the frame block. Both are given up under their
// own lock (one at a time) however the run ends.
struct Attachments {
    const EncoderArgs& args;
    const ParentWatch& parent;
    net::Socket socket;
    ipc::Shm block;

    ~Attachments() { release(); }
    void release() {
        if (socket) {
            LockScope held(*args.socket_lock, parent);
            socket.close();
        }
        if (block.is_open()) {
            LockScope held(*args.shm_lock, parent);
            block.close();
        }
        // The server removes the block's name when it stops the worker; a server that died never
        // will, so the last user does.
        if (parent.gone()) {
            try {
                ipc::Shm::unlink(args.shm_name);
            } catch (const std::exception&) {
            }
        }
    }
};

// One video packet message in one send: a separate 5-byte send ahead of the packet would leave
// the packet's tail to Nagle's algorithm, waiting for the app's delayed acknowledgement.
class MessageWriter {
  public:
    explicit MessageWriter(uint8_t code) : code_(code) {}
    std::string_view frame(std::string_view packet) {
        message_.assign(wire::PacketHeader{code_, static_cast<uint32_t>(packet.size())}.bytes());
        message_.append(packet);
        return message_;
    }

  private:
    uint8_t code_;
    std::string message_;  // reused: no allocation per frame once it has grown
};

void report(const std::exception& e) {
    std::fprintf(stderr, "Encoder worker failed: %s\n", e.what());
    std::fflush(stderr);
}

// Bit-rate targets the server sends back over the packet channel. Only the newest counts; a partial
// one waits for its rest.
class TargetReader {
  public:
    std::optional<double> newest(platform::Socket channel) {
        std::optional<double> out;
        for (;;) {
            std::ptrdiff_t n = platform::receive_now(channel, buf_ + have_, sizeof buf_ - have_);
            if (n <= 0) return out;  // nothing more now, or the channel is gone (the send says)
            have_ += static_cast<size_t>(n);
            if (have_ < sizeof buf_) continue;
            out = wire::BitrateMessage::read(std::string_view(buf_, sizeof buf_)).bps;
            have_ = 0;
        }
    }

  private:
    char buf_[wire::BitrateMessage::kSize];
    size_t have_ = 0;
};

void encode_frames(const EncoderArgs& a, const ParentWatch& parent, Attachments& att,
                   Vp9Encoder& encoder) {
    MessageWriter writer(a.img_cmd);
    TargetReader targets;
    // The channel has no other writer: a message needs no lock, and a worker that dies in the
    // middle of one leaves a fragment the server drops, never half a message on the wire.
    auto send_packet = [&](std::string_view packet) {
        return net::send_all(att.socket.get(), writer.frame(packet)) == 0;
    };
    // Frame signals do not queue: frames written while one is encoded collapse into the newest.
    while (wait_for_wake(*a.new_frame_event, parent)) {
        a.new_frame_event->clear();
        if (!a.keep_encoding_event->is_set()) return;
        {
            LockScope held(*a.shm_lock, parent);
            if (!held) return;
            encoder.load(att.block.data());
        }
        if (auto bps = targets.newest(att.socket.get())) encoder.set_bitrate(*bps);
        if (!encoder.encode(send_packet)) return;  // the app is gone: end quietly
    }
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

int run_encoder(const EncoderArgs& a) {
    const ParentWatch parent(a.parent_pid);
    // A forked worker shares the host's stderr: only failures belong there, not FFmpeg's notes.
    if (parent.forked()) av_log_set_level(AV_LOG_ERROR);
    Attachments att{a, parent, {}, {}};
    try {
        {
            LockScope held(*a.socket_lock, parent);
            if (!held) return 0;
            att.socket = net::Socket(platform::duplicate_socket(a.socket_fd));
            if (!att.socket)
                throw std::system_error(platform::socket_error(), std::generic_category(),
                                        "app socket");
        }
        {
            LockScope held(*a.shm_lock, parent);
            if (!held) return 0;
            std::optional<ipc::Shm> block = attach_block(a.shm_name, a.shm_size, parent);
            if (!block) return 0;
            att.block = std::move(*block);
        }
        std::optional<Vp9Encoder> encoder;
        try {
            encoder.emplace(a.encoder);
        } catch (const std::exception& e) {
            att.release();
            report(e);
            return kExitEncoderFailed;
        }
        encode_frames(a, parent, att, *encoder);
    } catch (const std::exception& e) {
        att.release();
        report(e);
        return 1;
    }
    return 0;
}

void encoder_entry(nb::handle args) {
    if (args.is_none())
        throw std::invalid_argument(
            "_ep needs its argument tuple: on this platform workers are forked and are handed it");
    EncoderArgs a = parse_encoder_args(args);
    nb::gil_scoped_release release;
    run_encoder(a);
}

}  // namespace tav::streaming
