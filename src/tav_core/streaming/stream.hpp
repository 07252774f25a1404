// The viewport stream of the connected app: the capture configuration, the session that the app
// starts and stops, the frame path from the host's getters into the frame block, automatic
// sending, and the two worker processes (encoder, screenshot grabber) with the objects they share.
// Every operation runs holding the GIL unless noted; which thread runs each and what guards each
// field: docs/threads.md.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/cameras.hpp"
#include "host/host_bridge.hpp"
#include "ipc/lock.hpp"
#include "ipc/shm.hpp"
#include "net/client_link.hpp"
#include "net/serving_state.hpp"
#include "runtime/atomic_shared.hpp"
#include "runtime/daemon_thread.hpp"
#include "runtime/one_shot.hpp"
#include "streaming/capture_config.hpp"
#include "streaming/frame_answers.hpp"
#include "streaming/owner_thread.hpp"
#include "streaming/start_request.hpp"
#include "streaming/vp9_encoder.hpp"
#include "streaming/worker_launch.hpp"
#include "streaming/worker_process.hpp"

namespace tav::streaming {

namespace nb = nanobind;

class Stream {
  public:
    Stream(HostBridge& host, net::ClientLink& link, const ServingState& state, Cameras& cameras);

    // ---- capture configuration (the host, from capture_will_start) ---------------------------
    const CaptureConfig& config() const { return config_; }
    // RuntimeError during a session; ValueError for values that are none of the constants.
    void set_capture_mode(nb::object capture_mode, nb::object capture_format);
    // During a session a new size restarts the workers.
    void set_capture_resolution(nb::object width, nb::object height);
    void set_vertical_flip(bool flip) { config_.vflip = flip; }

    // ---- the session ------------------------------------------------------------------------
    // The app's start request (none when its payload could not be read). The start event that
    // announce_start() handed out is set when it returns, however it ends.
    void start(const std::optional<StartRequest>& request);
    // Ends the session and its workers; any thread holding the GIL.
    void stop();
    bool is_capturing() const { return is_capturing_; }
    // Network thread: a new start request is about to be delivered; the returned event is set
    // when it has run (or given up).
    std::shared_ptr<OneShot> announce_start();
    // Stop thread, without the GIL: lets a start that runs right now finish (for at most
    // `seconds`), then releases a network thread still waiting for a start the host may never
    // run.
    void await_running_start(double seconds);
    void release_start_waiter();

    // ---- the frame path ---------------------------------------------------------------------
    // A frame request: the app's (`app_waits`), or an autosend tick.
    void pass_frame_to_encoder(bool app_waits);
    // Network thread: an app's request that waited for the backlog is now due.
    void serve_deferred_frame();
    // Copies the frame at `address` into the frame block and wakes the encoder.
    void encode_frame(uint64_t address);
    // Wakes the screenshot worker.
    void capture_screenshot();

    // ---- workers and automatic sending ------------------------------------------------------
    // A frame of `width` x `height` pixels in `input_format` ("rgb", "bgr", "rgba", "bgra"),
    // encoded at `fps` and `mbps`. ValueError for a format, size or rate the encoder cannot take
    // (the app hears ERR_FFMPEG when the failure is the encoder's).
    void start_encoding(long width, long height, std::string_view input_format, double fps,
                        double mbps, bool flip);
    void stop_encoding();
    void start_screenshot(nb::object x, nb::object y, nb::object width, nb::object height);
    void stop_screenshot();
    // ValueError for a rate outside 1 to 240 frames per second.
    void start_autosend(double fps);
    void stop_autosend();

    // ---- state for the server's properties --------------------------------------------------
    bool is_encoding() const { return is_encoding_; }
    bool is_screenshooting() const { return is_screenshooting_; }
    bool is_autosend() const { return is_autosend_; }
    std::optional<Pid> encoder_pid() const { return encoder_.pid(); }
    std::optional<Pid> screenshot_pid() const { return screenshooter_.pid(); }
    // How workers start (set once, by the server's constructor).
    const LaunchSettings& launch() const { return launch_; }
    void set_launch(LaunchSettings launch) { launch_ = std::move(launch); }
    size_t frame_size() const { return frame_size_; }
    const nb::object& screenshot_position() const { return screenshot_position_; }

  private:
    // Runs `message` on the owner and waits for it. The owner makes every start, stop and restart
    // of a worker, every revival, and the worker part of the session's start and stop; it never
    // calls the host nor delivers: the log lines a message leaves (log_later) are delivered here,
    // once it ended, also when it failed (docs/threads.md, "Stream transitions").
    void transition(const std::function<void()>& message);
    void log_later(std::string line);
    void start_session(double fps, double mbps, bool opaque);

    // The frame block shared by the server and both workers, new for every encoder start.
    struct FrameBlock {
        std::shared_ptr<ipc::Shm> shm;
        std::shared_ptr<ipc::Lock> lock;
        std::shared_ptr<ipc::Event> ready;  // a new frame is in the block: the encoder's wake-up
    };

    std::optional<FrameSource> request_from_host(void (Stream::*getter)(FrameSource&));
    void run_getter(FrameAnswers& answers, void (Stream::*getter)(FrameSource&));
    nb::tuple capture_coords();  // the host's get_capture_coords, checked
    void get_capture_coords(FrameSource& latest);
    void get_capture_pointer(FrameSource& latest);
    void get_capture_buffer(FrameSource& latest);
    void grab_screen();
    void copy_from_pointer();
    void copy_from_buffer();
    void copy_frame(const void* source, size_t available);
    // On the owner.
    void launch_encoder(long width, long height, std::string_view input_format, double fps,
                        double mbps, bool flip);
    void end_encoder();
    void launch_screenshooter(nb::object x, nb::object y, nb::object width, nb::object height);
    void end_screenshooter();
    void restart_encoding(nb::object width, nb::object height);
    void restart_screenshot(nb::object x, nb::object y, nb::object width, nb::object height);
    void restart_workers(nb::object width, nb::object height);
    void revive_workers();
    void encoder_failed();
    void reclaim_locks_of(Pid pid);
    // Starts `worker` from `record`, forked or spawned as launch() says; false (reported) when it
    // could not start.
    bool launch_worker(WorkerProcess& worker, std::shared_ptr<const WorkerRecord> record);
    void worker_ended(const WorkerProcess::End& end);
    void report_launch_failure(const std::string& reason, const std::string& output);
    void log_output(const std::string& output);
    void autosend_loop(double period);

    HostBridge& host_;
    net::ClientLink& link_;
    const ServingState& state_;
    Cameras& cameras_;

    CaptureConfig config_;
    std::atomic<bool> is_capturing_{false};  // read by the autosend loop without the GIL
    bool is_autosend_ = false;
    // The session's rates and flip, kept for encoder restarts.
    double fps_ = 0, mbps_ = 0;
    bool flip_ = false;
    bool no_display_reported_ = false;      // the host was told, this session, that it has none
    bool encoder_failure_sent_ = false;     // the app was told, this session, of a failed encoder
    bool launch_failure_reported_ = false;  // the host was told, this session, of a bad interpreter
    LaunchSettings launch_;

    // The hand-off from the host's getters to the frame requests, new for every session.
    std::shared_ptr<FrameAnswers> frame_answers_;
    // Set when the latest start has finished (the network thread waits for it).
    AtomicShared<OneShot> start_event_;
    std::atomic<bool> start_running_{false};  // a start runs in host context now

    DaemonThread autosend_thread_;
    std::mutex autosend_mutex_;
    std::condition_variable autosend_wake_;  // cuts a pacing sleep short when the session stops

    // The owner's: the workers and what they share (others read them holding the GIL).
    bool is_encoding_ = false, is_screenshooting_ = false;
    WorkerProcess encoder_, screenshooter_;
    FrameBlock block_;
    size_t frame_size_ = 0;
    nb::object screenshot_position_;  // (x, y) of the grabbed screen region
    // Taken by the encoder worker around its use of the packet channel.
    std::shared_ptr<ipc::Lock> channel_lock_ = std::make_shared<ipc::Lock>();
    std::vector<std::string> deferred_logs_;  // the owner's; delivered by transition()

    // Last, so that it ends first.
    OwnerThread owner_{"tavrel-stream"};
};

}  // namespace tav::streaming
