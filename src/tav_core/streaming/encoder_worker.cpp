#include "streaming/encoder_worker.hpp"

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
#include "streaming/worker_life.hpp"

namespace tav::streaming {

namespace {

// The worker's hold on its packet channel and the frame block. Both are given up under their
// own lock (one at a time) however the run ends.
struct Attachments {
    const EncoderArgs& args;
    const ParentWatch& parent;
    net::Socket channel;
    ipc::Shm block;

    ~Attachments() { release(); }
    void release() {
        if (channel) {
            LockScope held(*args.channel_lock, parent);
            channel.close();
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
        return net::send_all(att.channel.get(), writer.frame(packet)) == 0;
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
        if (auto bps = targets.newest(att.channel.get())) encoder.set_bitrate(*bps);
        if (!encoder.encode(send_packet)) return;  // the app is gone: end quietly
    }
}

}  // namespace

int run_encoder(const EncoderArgs& a) {
    const ParentWatch parent(a.parent_pid);
    // Only failures, not FFmpeg's notes: a forked worker shares the host's stderr, and a spawned
    // one's output waits in a pipe that is read when it stops (a full pipe would stall it).
    av_log_set_level(AV_LOG_ERROR);
    Attachments att{a, parent, {}, {}};
    try {
        {
            LockScope held(*a.channel_lock, parent);
            if (!held) return 0;
            att.channel = net::Socket(platform::duplicate_socket(a.packet_channel));
            if (!att.channel)
                throw std::system_error(platform::socket_error(), std::generic_category(),
                                        "packet channel");
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

}  // namespace tav::streaming
