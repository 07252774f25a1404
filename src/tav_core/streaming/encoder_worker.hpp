// The encoder worker: encodes each frame the server puts in the shared block and writes its
// packets, as video packet messages (code, uint32 LE size, packet), into its packet channel, which
// the server's app connection puts on the wire. The server sends bit-rate targets back over the
// same channel (uint32 LE bit/s); the worker applies the newest before its next frame.
//
// The run takes its arguments as C++ values and never touches Python, so it can run in a forked
// child, on a thread without the GIL, or in a program without an interpreter. The module's entry
// `_ep` decodes the argument tuple into them (worker_record.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "platform/process.hpp"
#include "platform/socket.hpp"
#include "streaming/vp9_encoder.hpp"

namespace tav::streaming {

// The 16 values of the encoder argument tuple, in C++.
struct EncoderArgs {
    EncoderSettings encoder;    // values 0-4 and 6-8: sizes, input format, rate, bit rate, flip
    std::string output_format;  // value 5: "yuv420p"
    uint8_t img_cmd = 0;        // value 9: the code that opens each video packet message
    std::string shm_name;       // value 10: the frame block (name, size)
    size_t shm_size = 0;
    // Value 11: the packet channel (any stream socket), and value 12: the lock every writer into
    // it holds.
    platform::Socket packet_channel = platform::kNoSocket;
    std::shared_ptr<ipc::Lock> channel_lock;  // values 12-15, opened from their share descriptions
    std::shared_ptr<ipc::Lock> shm_lock;
    std::shared_ptr<ipc::Event> new_frame_event;
    std::shared_ptr<ipc::Event> keep_encoding_event;
    platform::Pid parent_pid = 0;  // the starting process: a worker of its own ends when it dies
};

// Exit status of a forked encoder worker that could not build its encoder: starting it again
// with the same arguments would fail the same way.
inline constexpr int kExitEncoderFailed = 70;

// Runs the worker until its keep event is found clear, no frame came for the idle lifespan, a send
// failed, or the parent died. Without the GIL; reports a failure of its own on stderr. Returns the
// exit status for a forked worker: 0, kExitEncoderFailed, or 1 for any other failure.
int run_encoder(const EncoderArgs& args);

}  // namespace tav::streaming
