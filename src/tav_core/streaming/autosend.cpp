// Automatic sending: frame requests paced at the session's rate on a thread of their own. A tick
// that admission refuses is skipped, not deferred: the next one comes soon enough.
#include <chrono>

#include "runtime/python.hpp"
#include "streaming/stream.hpp"

namespace tav::streaming {

void Stream::start_autosend(double fps) {
    // Sessions clamp their rate into this range; a period beyond it would not fit a clock's wait.
    if (!(fps >= kMinFramerate && fps <= kMaxFramerate))
        throw nb::value_error("Invalid autosend fps: must be 1 to 240 frames per second");
    const double period = 1.0 / fps;
    py::Ref keep(host_.self());
    autosend_thread_ =
        DaemonThread::start("tavrel-autosend", [this, keep, period] { autosend_loop(period); });
}

// Whole periods without drift while frames are fast enough; after a late frame the schedule
// restarts from now instead of sending a burst to catch up.
void Stream::autosend_loop(double period) {
    using clock = std::chrono::steady_clock;
    auto seconds = [] {
        return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
    };
    double next = seconds() + period, previous = 0;
    while (is_capturing_) {
        {
            py::Gil gil;
            try {
                pass_frame_to_encoder(false);
            } catch (...) {
                py::report_current_exception("tavrel-autosend");
            }
        }
        const double now = seconds();
        if (next > now && now > previous) {
            std::unique_lock lock(autosend_mutex_);
            autosend_wake_.wait_for(lock, std::chrono::duration<double>(next - now),
                                    [&] { return !is_capturing_; });
            next += period;
        } else {
            next = now + period;
        }
        previous = now;
    }
}

void Stream::stop_autosend() {
    if (!is_autosend_) return;
    {
        std::lock_guard lock(autosend_mutex_);
    }
    autosend_wake_.notify_all();
    if (!autosend_thread_.is_current()) {
        py::Unlocked unlocked;
        autosend_thread_.join(kJoinTimeout);
    }
    is_autosend_ = false;
}

}  // namespace tav::streaming
