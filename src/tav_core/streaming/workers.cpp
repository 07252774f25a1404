// Starting and stopping the encoder and screenshot workers, and taking back what a dead one held.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sstream>
#include <system_error>

#include "ipc/owned_blocks.hpp"
#include "net/commands.hpp"
#include "platform/descriptors.hpp"
#include "platform/process.hpp"
#include "platform/socket.hpp"
#include "runtime/python.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/stream.hpp"
#include "streaming/worker_launch.hpp"

namespace tav::streaming {

namespace {

// A block's name as its users attach it: without the platform's leading "/".
std::string share_name(const ipc::Shm& shm) {
    const std::string& name = shm.name();
    return !name.empty() && name[0] == '/' ? name.substr(1) : name;
}

// The worker's end of a packet channel that leads nowhere: its first send ends it.
net::Socket dead_end_channel() { return net::Socket(platform::dead_end_stream()); }

}  // namespace

void Stream::launch_encoder(long width, long height, std::string_view input_format, double fps,
                            double mbps, bool flip) {
    if (is_encoding_) return;
    const int bpp = bytes_per_pixel(input_format);
    const auto [out_width, out_height] = clamped_size(width, height);
    if (width <= 0 || height <= 0 || out_width < 1 || out_height < 1)
        throw nb::value_error("Invalid capture resolution");
    check_rates(fps, mbps);
    frame_size_ =
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(bpp);
    // The lock and events first: from the block's creation on, the stop releases everything.
    block_.lock = std::make_shared<ipc::Lock>();
    block_.ready = std::make_shared<ipc::Event>();
    encoder_.prepare(block_.ready);
    block_.shm = std::make_shared<ipc::Shm>(ipc::create_owned(frame_size_));
    is_encoding_ = true;

    auto record = std::make_shared<WorkerRecord>();
    EncoderArgs& args = record->args.emplace<EncoderArgs>();
    try {
        EncoderSettings& e = args.encoder;
        e.input_width = static_cast<int>(std::min<long>(width, INT32_MAX));
        e.input_height = static_cast<int>(std::min<long>(height, INT32_MAX));
        e.input_format = input_format;
        e.output_width = out_width;
        e.output_height = out_height;
        e.framerate = fps;
        e.bitrate_mbps = mbps;
        e.vflip = flip;
        args.output_format = "yuv420p";
        args.img_cmd = ASK_VIEWPORT_IMG;
        args.shm_name = share_name(*block_.shm);
        args.shm_size = frame_size_;
        record->check();  // values the encoder refuses: a retry would fail too
        // The worker writes its packets into a channel of its own; the app connection puts them
        // on the wire. Without a connection the channel leads nowhere.
        std::shared_ptr<net::Connection> c = link_.connection();
        net::Socket channel = c ? c->open_video_channel(mbps * 1e6, fps) : dead_end_channel();
        args.packet_channel = channel.get();
        args.channel_lock = channel_lock_;
        args.shm_lock = block_.lock;
        args.new_frame_event = block_.ready;
        args.keep_encoding_event = encoder_.keep();
        args.parent_pid = platform::current_process();
        if (!launch_worker(encoder_, record)) encoder_failed();
    } catch (...) {
        encoder_failed();
        throw;
    }
}

void Stream::launch_screenshooter(nb::object x, nb::object y, nb::object width, nb::object height) {
    screenshot_position_ = nb::make_tuple(x, y);
    screenshooter_.prepare();
    is_screenshooting_ = true;
    if (!block_.shm) throw std::runtime_error("the screenshot worker needs a running encoder");
    auto record = std::make_shared<WorkerRecord>();
    ScreenshotArgs& args = record->args.emplace<ScreenshotArgs>();
    args.region = screenshot_region(x, y, width, height);
    args.shm_name = share_name(*block_.shm);
    args.shm_size = block_.shm->size();
    record->check();
    args.shm_lock = block_.lock;
    args.new_frame_event = block_.ready;
    args.keep_screenshot_event = screenshooter_.keep();
    args.new_screenshot_event = screenshooter_.wake();
    args.parent_pid = platform::current_process();
    launch_worker(screenshooter_, record);
}

bool Stream::launch_worker(WorkerProcess& worker, std::shared_ptr<const WorkerRecord> record) {
    if (launch_.how == WorkerLaunch::fork) {
        if (worker.launch([record] { return record->run(); }, record->handles())) return true;
        log_later("Error creating encoding process");
        return false;
    }
    platform::HandOver hand_over{record->handles(), {}};
    try {
        worker.spawn(worker_command(launch_.python, record->entry()), worker_environment_entries(),
                     hand_over, [&] { return argument_block(*record, hand_over); });
        return true;
    } catch (const std::system_error& e) {
        report_launch_failure(e.code().message(), "");
        return false;
    }
}

// A wrong interpreter fails every worker the same way: the host hears of it once a session.
void Stream::report_launch_failure(const std::string& reason, const std::string& output) {
    if (launch_failure_reported_) return;
    launch_failure_reported_ = true;
    log_later("Worker process could not start with python_executable '" + launch_.python +
              "': " + reason);
    log_output(output);
}

void Stream::log_output(const std::string& output) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) log_later(line);
}

// What a spawned worker wrote is the host's to read, once it ended; one that never took its
// arguments could not start.
void Stream::worker_ended(const WorkerProcess::End& end) {
    if (end.started)
        log_output(end.output);
    else
        report_launch_failure("it ended before it took its arguments", end.output);
}

// An encoder that cannot start is not started again and again: the app hears of it once a session
// (ERR_FFMPEG) and the frame block goes at once. A new start, or a new capture size, tries again.
void Stream::encoder_failed() {
    end_encoder();
    if (!encoder_failure_sent_) link_.send_code(ERR_FFMPEG);
    encoder_failure_sent_ = true;
}

void Stream::end_encoder() {
    if (!is_encoding_) return;
    is_encoding_ = false;
    // A worker blocked on a full channel (the app stopped reading) ends at once.
    if (std::shared_ptr<net::Connection> c = link_.connection()) c->close_video_channel();
    FrameBlock block = block_;
    worker_ended(encoder_.stop([this](Pid pid) { reclaim_locks_of(pid); }));
    py::Unlocked unlocked;
    ipc::Held held(*block.lock);
    block.shm->close();
    ipc::unlink_owned(block.shm->name());
}

void Stream::end_screenshooter() {
    if (!is_screenshooting_) return;
    is_screenshooting_ = false;
    worker_ended(screenshooter_.stop([this](Pid pid) { reclaim_locks_of(pid); }));
}

// A worker that died holding a shared lock would leave it taken for good: the server takes such a
// lock back. Half a message it left in its packet channel never reaches the app.
void Stream::reclaim_locks_of(Pid pid) {
    if (block_.lock) block_.lock->recover(pid);
    encoder_.recover(pid);  // its wake event is the block's ready event
    screenshooter_.recover(pid);
    channel_lock_->recover(pid);
}

}  // namespace tav::streaming
