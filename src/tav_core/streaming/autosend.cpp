// Automatic sending: frame requests paced at the session's rate on a thread of their own. A tick
// that admission refuses is skipped, not deferred: the next one comes soon enough.
#include <chrono>

#include "core/python.hpp"
#include "core/server.hpp"
#include "streaming/vp9_encoder.hpp"

namespace tav {

void TavServer::start_autosend(double fps) {
    // Sessions clamp their rate into this range; a period beyond it would not fit a clock's wait.
    if (!(fps >= streaming::kMinFramerate && fps <= streaming::kMaxFramerate))
        throw nb::value_error("Invalid autosend fps: must be 1 to 240 frames per second");
    const double period = 1.0 / fps;
    py::Ref keep(self());
    streaming_.autosend_thread =
        DaemonThread::start("tavrel-autosend", [this, keep, period] { autosend_loop(period); });
}

// Whole periods without drift while frames are fast enough; after a late frame the schedule
// restarts from now instead of sending a burst to catch up.
void TavServer::autosend_loop(double period) {
    using clock = std::chrono::steady_clock;
    auto seconds = [] {
        return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
    };
    auto& s = streaming_;
    double next = seconds() + period, previous = 0;
    while (s.is_capturing) {
        {
            py::Gil gil;
            try {
                send_frame(false);
            } catch (...) {
                py::report_current_exception("tavrel-autosend");
            }
        }
        const double now = seconds();
        if (next > now && now > previous) {
            std::unique_lock lock(s.autosend_mutex);
            s.autosend_wake.wait_for(lock, std::chrono::duration<double>(next - now),
                                     [&] { return !s.is_capturing; });
            next += period;
        } else {
            next = now + period;
        }
        previous = now;
    }
}

void TavServer::stop_autosend() {
    auto& s = streaming_;
    if (!s.is_autosend) return;
    {
        std::lock_guard lock(s.autosend_mutex);
    }
    s.autosend_wake.notify_all();
    if (!s.autosend_thread.is_current()) {
        py::Unlocked unlocked;
        s.autosend_thread.join(JOIN_TIMEOUT);
    }
    s.is_autosend = false;
}

}  // namespace tav
