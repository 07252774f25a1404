// The encoder's target bit rate on a link that may be slower than the stream. It reads the link
// from what the socket reports: the queue towards the app is kept within about one frame, the
// link's rate is measured whenever a queue stands and kept, the target runs at a share of it, and
// short probes above it find a link that got faster. A stream starts at a conservative rate and
// climbs quickly while the link shows room. Never above what the app asked, never below
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
    size_t held = 0;         // of which still queued here (0 where the socket's count is unknown)
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
    struct Seen {
        double at;
        size_t sent;  // bytes not yet delivered that the network holds
        uint64_t delivered;
    };

    // What the link delivered while more than `queued` bytes waited throughout (bit/s), or 0.
    double busy_rate(double queued) const;
    double delivered_rate(double since) const;  // since then, over the samples kept, or 0
    void set(double bps);
    void cut(double queued, double queue, double now);
    void flat(double now);
    void probe(double now);  // from the link's rate now

    double asked_, floor_, frame_seconds_, target_;
    bool starting_;           // no queue seen yet: the rate climbs fast
    double link_ = 0;         // the link's rate as last measured or shown (bit/s), 0: unknown
    double measured_ = -1e9;  // when a busy link last measured it
    std::deque<Seen> seen_;   // the samples of the last second
    double last_queue_ = 0, queue_before_ = 0;  // the standing queue of the last two samples
    double last_rise_ = -1e9;                   // the start rose last
    double last_cut_ = -1e9, cut_queue_ = 0;    // the last decrease and the queue it met
    double quiet_since_ = 0;                    // no queue and no probe since
    double probe_since_ = -1;                   // a probe runs since, or -1
    double probe_base_ = 0;                     // the link's rate when it began
    double probe_gain_ = 0;                     // of the link's rate, for the next probe
};

}  // namespace tav::net
