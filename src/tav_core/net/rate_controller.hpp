// The encoder's target bit rate on a link that may be slower than the stream. It reads the link
// from what the socket reports, never by filling it: the queue towards the app is kept within
// about one frame, the rate probes upward only while that queue and the round trip stay flat, and
// it backs off to what the link delivered at the first rise. A stream starts at a conservative
// rate and climbs quickly while the link shows room. Never above what the app asked, never below
// kRateFloorBps. The control law, its constants and why: docs/rate_control.md.
//
// Pure arithmetic on observations (no clock, no socket): the connection's writer feeds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace tav::net {

// Below this a 720-pixel picture is no longer worth watching; a slower link keeps latency bounded
// by skipping frames instead.
inline constexpr double kRateFloorBps = 150'000;
// Where a stream starts when the app asks more and the link has shown no more: a key frame at this
// rate reaches the app at once on any link the product is meant for.
inline constexpr double kStartBps = 300'000;

// One look at the link, every few tens of milliseconds.
struct LinkSample {
    double now = 0;          // seconds on a steady clock
    uint64_t delivered = 0;  // bytes the app has acknowledged since the stream began, in all
    size_t backlog = 0;      // bytes not yet delivered: queued here, unsent or unacknowledged
    double rtt = 0;          // smoothed round trip (s), 0: unknown
    double min_rtt = 0;      // smallest round trip (s), 0: unknown
    bool refused = false;    // a frame was refused since the last sample (the backlog was over)
};

class RateController {
  public:
    // A stream asked to run at `asked_bps`, starting at `start_bps` (from start_target).
    RateController(double asked_bps, double fps, double start_bps);
    // The first target of a stream asked to run at `asked_bps` on a link that has carried
    // `shown_bps` (0: nothing yet): a conservative rate, or what the link has shown.
    static double start_target(double asked_bps, double shown_bps);

    // One observation; returns the new target when it changed.
    std::optional<double> step(const LinkSample& s);

    double target() const { return target_; }

  private:
    struct Busy {
        double at, seconds, bytes;
    };
    struct Seen {
        double at;
        size_t backlog;
        uint64_t delivered;
    };
    enum class Signal { flat, rising, over };

    // What the link delivered while it was busy during the last second (bit/s), or 0.
    double capacity() const;
    double delivered_rate(double now) const;  // over the samples kept, or 0 while too few
    Signal classify(const LinkSample& s, double queue_seconds) const;
    void set(double bps, double now);

    double asked_, floor_, frame_seconds_, target_;
    bool starting_;          // no rate shown and no rise seen yet: the rate climbs fast
    std::deque<Busy> busy_;  // intervals during which the link was busy throughout
    std::deque<Seen> seen_;  // the samples of the last half second
    double last_queue_ = 0, queue_before_ = 0;  // the standing queue of the last two samples
    double last_decrease_ = -1e9, hold_until_ = 0;
    double before_probe_ = 0, last_probe_ = -1e9;
    double decrease_queue_ = 0, decrease_cap_ = 0;  // at the last decrease, until drained
};

}  // namespace tav::net
