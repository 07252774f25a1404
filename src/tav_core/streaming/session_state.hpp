// The streaming state a TavServer carries: capture configuration, the session and its workers.
#pragma once

#include <nanobind/nanobind.h>
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/daemon_thread.hpp"
#include "core/one_shot.hpp"
#include "ipc/event.hpp"
#include "ipc/lock.hpp"

namespace tav::streaming {

namespace nb = nanobind;

struct SessionState {
    // Capture configuration, set by the host from capture_will_start.
    nb::object capture_mode, capture_format, capture_width, capture_height;  // none when unset
    bool use_vflip = false;
    nb::object pixel_format;  // "rgb", "bgr", "rgba", "bgra" or none

    // Session.
    std::atomic<bool> is_capturing{false};
    std::atomic<bool> is_autosend{false};
    // Set when the latest streaming start has finished (the network thread waits for it).
    std::atomic<std::shared_ptr<OneShot>> start_streaming_event;
};

}  // namespace tav::streaming
