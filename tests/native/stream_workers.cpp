// The spawned workers of the end-to-end run: the argument block's fields as the core's worker
// arguments, then the core's loops, as a spawned worker of the module runs them.
#include <memory>

#include "handover.hpp"
#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "platform/descriptors.hpp"
#include "stream_run.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/screenshot_worker.hpp"
#include "streaming/worker_life.hpp"

namespace native_test {

namespace {

namespace ipc = tav::ipc;
namespace streaming = tav::streaming;

int integer(const std::string& field) { return std::stoi(field); }

std::shared_ptr<ipc::Event> event_at(const std::vector<std::string>& f, size_t first) {
    return ipc::Event::from_share({f.at(first), f.at(first + 1), f.at(first + 2)});
}

// As a spawned worker of the module: its host is the parent, gone once our input ends.
platform::Pid watch_parent() {
    streaming::ParentWatch::set_lifeline(platform::standard_input());
    return platform::parent_process();
}

}  // namespace

// Fields: role, width, height, format, fps, Mbit/s, socket share, block name, block size,
// socket lock, block lock, new-frame event (3), keep event (3).
int run_encoder_worker(const std::vector<std::string>& f) {
    streaming::EncoderArgs a;
    streaming::EncoderSettings& e = a.encoder;
    e.input_width = integer(f.at(1));
    e.input_height = integer(f.at(2));
    e.input_format = f.at(3);
    e.output_width = e.input_width;
    e.output_height = e.input_height;
    e.framerate = std::stod(f.at(4));
    e.bitrate_mbps = std::stod(f.at(5));
    a.output_format = "yuv420p";
    a.img_cmd = 4;
    const socket_handle socket = shared_socket(f.at(6));
    a.packet_channel = socket;
    a.shm_name = f.at(7);
    a.shm_size = number_of(f.at(8));
    a.channel_lock = ipc::Lock::from_share(f.at(9));
    a.shm_lock = ipc::Lock::from_share(f.at(10));
    a.new_frame_event = event_at(f, 11);
    a.keep_encoding_event = event_at(f, 14);
    a.parent_pid = watch_parent();
    const int status = streaming::run_encoder(a);
    close_socket(socket);
    return status;
}

// Fields: role, x, y, width, height, block name, block size, block lock, new-frame event (3),
// keep event (3), request event (3).
int run_screenshot_worker(const std::vector<std::string>& f) {
    streaming::ScreenshotArgs a;
    a.region = {integer(f.at(1)), integer(f.at(2)), integer(f.at(3)), integer(f.at(4))};
    a.shm_name = f.at(5);
    a.shm_size = number_of(f.at(6));
    a.shm_lock = ipc::Lock::from_share(f.at(7));
    a.new_frame_event = event_at(f, 8);
    a.keep_screenshot_event = event_at(f, 11);
    a.new_screenshot_event = event_at(f, 14);
    a.parent_pid = watch_parent();
    return streaming::run_screenshot(a);
}

}  // namespace native_test
