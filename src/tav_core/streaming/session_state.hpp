// The streaming state a TavServer carries: capture configuration, the session and its workers.
#pragma once

#include <nanobind/nanobind.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/daemon_thread.hpp"
#include "core/one_shot.hpp"
#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/shm.hpp"
#include "streaming/frame_answers.hpp"

namespace tav::streaming {

namespace nb = nanobind;

// A forked worker process and when it started.
struct Worker {
    std::optional<pid_t> pid;
    std::chrono::steady_clock::time_point started;
};

struct SessionState {
    // Capture configuration, set by the host from capture_will_start (none when unset).
    nb::object capture_mode, capture_format, capture_width, capture_height;
    bool use_vflip = false;
    nb::object pixel_format;  // "rgb", "bgr", "rgba", "bgra" or none

    // Session.
    std::atomic<bool> is_capturing{false};
    std::atomic<bool> is_autosend{false};
    double enc_fps = 0, enc_bitrate = 0;
    bool enc_vflip = false;
    nb::object scrsht_pos;               // (x, y) of the grabbed screen region
    bool no_display_reported = false;    // the host was told, this session, that it has none
    bool encoder_failure_sent = false;   // the app was told, this session, of a failed encoder
    nb::object async_capture_position;   // last get_capture_coords result, or none
    uint64_t async_capture_pointer = 0;  // last get_capture_pointer result
    bool has_capture_pointer = false;
    nb::object async_capture_buffer;  // last get_capture_buffer result, or none
    std::atomic<std::shared_ptr<FrameAnswers>> image_capture_answers;  // new for every session
    // Set when the latest streaming start has finished (the network thread waits for it).
    std::atomic<std::shared_ptr<OneShot>> start_streaming_event;
    std::atomic<bool> start_running{false};  // a streaming start runs in host context now

    // Automatic sending.
    DaemonThread autosend_thread;
    std::mutex autosend_mutex;
    std::condition_variable autosend_wake;  // cuts a pacing sleep short when the session stops

    // Workers and the objects shared with them.
    std::atomic<bool> is_encoding{false}, is_screenshooting{false};
    Worker encoding_process, screenshot_process;
    std::shared_ptr<ipc::Shm> shared_buffer;  // shared with a frame copy in progress
    size_t buff_size = 0;
    std::shared_ptr<ipc::Lock> shm_lock;
    std::shared_ptr<ipc::Event> new_frame_event, keep_encoding_event, new_scrsht_event,
        keep_screenshot_event;
};

}  // namespace tav::streaming
