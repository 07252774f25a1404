#include "net/rate_controller.hpp"

#include <algorithm>

namespace tav::net {

namespace {

// docs/rate_control.md gives the reasons for each.
constexpr double kHistory = 1.0;       // s of samples kept
constexpr double kQueueWindow = 0.2;   // s: the standing queue is the least backlog in it
constexpr double kLinkWindow = 0.5;    // s: the link's rate is what it delivered busy, up to this
constexpr double kMinBusy = 0.15;      // s: less busy time measures a burst, not the link
constexpr double kMinFall = 0.7;       // of the link's rate: the most one measurement takes off
constexpr double kOverFrames = 1.0;    // a standing queue of more frames than this: back off
constexpr double kRiseFrames = 0.25;   // a growing standing queue beyond this: a rise
constexpr double kShare = 0.92;        // of the link's rate: the target while nothing probes
constexpr double kDrainSeconds = 1.0;  // a standing queue drains within this (at most half)
constexpr double kDecreaseGap = 0.2;   // s: a decrease reaches the encoder's output first
constexpr double kDraining = 0.9;      // of the queue at the last decrease: a queue draining
constexpr double kHold = 0.5;          // s after a decrease before the target is back at its share
constexpr double kStartRise = 1.5;     // per kStartInterval while starting
constexpr double kStartInterval = 0.15;
constexpr double kQuiet = 0.5;        // s without a queue before a probe
constexpr double kProbeTime = 0.5;    // s a probe lasts
constexpr double kProbeSettle = 0.2;  // s: the start of a probe still carries the older rate
constexpr double kFirstGain = 0.1, kMaxGain = 0.4;  // a probe's rise over the link's rate
constexpr double kShown = 0.75;      // of its rise a probe carried: the link is faster
constexpr double kFillWindow = 0.5;  // s over which the stream's use of its target is seen
constexpr double kProbeFill = 0.5;   // rise only while the stream delivers this of its target
constexpr double kMinFrame = 1.0 / 60, kMaxFrame = 0.1;  // s: the frame time the queue is held to

}  // namespace

RateController::RateController(double asked_bps, double fps, double start_bps)
    : asked_(asked_bps),
      floor_(std::min(asked_bps, kRateFloorBps)),
      frame_seconds_(std::clamp(fps > 0 ? 1.0 / fps : kMaxFrame, kMinFrame, kMaxFrame)),
      target_(std::clamp(start_bps, floor_, asked_bps)),
      starting_(start_bps <= kStartBps),
      link_(starting_ ? 0 : target_),
      probe_gain_(kFirstGain) {}

double RateController::start_target(double asked_bps, double shown_bps) {
    return std::min(asked_bps, std::max(kStartBps, shown_bps));
}

double RateController::busy_rate(double queued) const {
    // Back from the newest sample while the network held more than `queued`: the link never
    // idled, and what it delivered meanwhile is its rate. (What waited here, as when this
    // process got no processor for a while, kept no link busy.) Over several frames, so that
    // acknowledgements that come bunched do not make it look slower or faster than it is.
    const Seen& last = seen_.back();
    auto it = seen_.rbegin();
    while (std::next(it) != seen_.rend() && std::next(it)->sent > queued &&
           last.at - std::next(it)->at <= kLinkWindow)
        ++it;
    const double span = last.at - it->at;
    return span >= kMinBusy ? (last.delivered - it->delivered) * 8 / span : 0;
}

double RateController::delivered_rate(double since) const {
    auto it =
        std::find_if(seen_.begin(), seen_.end(), [&](const Seen& x) { return x.at >= since; });
    if (it == seen_.end()) return 0;
    const double span = seen_.back().at - it->at;
    return span > 0 ? (seen_.back().delivered - it->delivered) * 8 / span : 0;
}

void RateController::set(double bps) { target_ = std::clamp(bps, floor_, asked_); }

// A queue stands: down to the share of the link's rate, and below it by what drains the queue
// within kDrainSeconds. Not again before the decrease reached the encoder's output, nor while
// the queue shrinks within kHold of it: a queue that drains needs time, not a further decrease.
void RateController::cut(double queued, double queue, double now) {
    const double since = now - last_cut_;
    if (since < kDecreaseGap || (since < kHold && queue < kDraining * cut_queue_)) return;
    const double share = kShare * (link_ > 0 ? link_ : target_);
    set(std::min(target_, std::max(share - queued * 8 / kDrainSeconds, share / 2)));
    last_cut_ = now;
    cut_queue_ = queue;
}

// No queue: back to the share of the link once a decrease had its time; the start climbs; a
// probe that ran its time is judged; after a quiet while, the next probe.
void RateController::flat(double now) {
    cut_queue_ = 0;
    // The link carried what the stream delivered since it was last measured (a queue that
    // drained at its rate shows it better than a busy while whose acknowledgements came
    // bunched): no probe need find that.
    if (now - measured_ >= kFillWindow)
        link_ = std::max(link_, delivered_rate(std::max(now - kHistory, measured_)));
    // A stream whose encoder does not use its target (a still picture) learns nothing by rising.
    const bool fills = delivered_rate(now - kFillWindow) >= kProbeFill * target_;
    if (starting_) {
        if (now - last_rise_ >= kStartInterval && fills) {
            last_rise_ = now;
            set(target_ * kStartRise);
        }
        return;
    }
    if (probe_since_ >= 0) {
        if (now - probe_since_ < kProbeTime) return;
        // The probe ran its time, no queue came of it, and the stream carried more than the
        // link had shown: that is the link's rate now. The next probe follows at once; twice as
        // far when the stream carried most of the probe's rise (a link that got faster is found
        // within seconds). A link that does not carry it shows a queue, which ends the probing
        // (above); a probe that carried nothing more ends here.
        // Judged against the link's rate when the probe began: the floor above lifts link_ to
        // what the probe carries while it runs.
        const double carried = delivered_rate(probe_since_ + kProbeSettle);
        if (fills && carried > probe_base_) {
            if (carried > probe_base_ * (1 + kShown * probe_gain_))
                probe_gain_ = std::min(2 * probe_gain_, kMaxGain);
            link_ = std::max(link_, carried);
            probe(now);
            return;
        }
        probe_since_ = -1;
        probe_gain_ = kFirstGain;
        quiet_since_ = now;
        set(kShare * link_);
        return;
    }
    if (link_ > 0 && target_ < kShare * link_ && now - last_cut_ >= kHold) set(kShare * link_);
    if (link_ > 0 && now - quiet_since_ >= kQuiet && target_ < asked_ && fills) probe(now);
}

void RateController::probe(double now) {
    probe_since_ = now;
    probe_base_ = link_;
    set(link_ * (1 + probe_gain_));
}

std::optional<double> RateController::step(const LinkSample& s) {
    const double now = s.now;
    const bool first = seen_.empty();
    seen_.push_back({now, s.backlog - std::min(s.held, s.backlog), s.delivered});
    while (seen_.size() > 2 && now - seen_[1].at >= kHistory) seen_.pop_front();
    if (first) {
        quiet_since_ = now;
        return std::nullopt;
    }

    // The standing queue: the least backlog of the last kQueueWindow, less what a round trip
    // keeps on its way at the link's rate, in seconds at that rate. Video leaves in bursts of a
    // frame, so the backlog at one sample may hold a frame on its way; only what stays over
    // several frame times is a queue.
    // Bytes still in the writer's queues while the socket could take them are a writer that got
    // no processor for a while, not a queue on the link: they count only once handed over.
    size_t least = seen_.back().sent;
    for (auto it = seen_.rbegin(); it != seen_.rend() && now - it->at <= kQueueWindow; ++it)
        least = std::min(least, it->sent);
    const double rate = link_ > 0 ? link_ : target_;
    const double queued = std::max(0.0, static_cast<double>(least) - s.min_rtt * rate / 8);
    double queue = queued * 8 / rate;
    // A queue that stands and grows (twice in a row, so that where the samples fall between
    // frames is not taken for a trend), or stands while frames are refused.
    bool over = queue > kOverFrames * frame_seconds_;
    const bool rising = queue > kRiseFrames * frame_seconds_ &&
                        (s.refused || (queue > last_queue_ && last_queue_ > queue_before_));
    // While a queue stands the link is busy, and what it delivers is its rate now. Over a frame
    // it is busy throughout (a smaller queue may run dry between two samples), or while frames
    // are refused: they would have been sent at once.
    if (over || rising) {
        const double busy = busy_rate(over ? kOverFrames * frame_seconds_ * rate / 8 : 0);
        if (busy > 0) {
            // Acknowledgements that wait behind a queue that grows make the link look slower
            // than it is: by at most kMinFall at a time, and again at the next decrease while a
            // queue still stands.
            link_ = std::max(busy, kMinFall * link_);
            measured_ = now;
            queue = queued * 8 / busy;
            over = queue > kOverFrames * frame_seconds_;
        }
    }
    queue_before_ = last_queue_;
    last_queue_ = queue;

    const double before = target_;
    if (over || rising) {
        // The start and any probe end here; the next probe waits for a quiet while.
        if (link_ <= 0) link_ = std::max(delivered_rate(now - kFillWindow), floor_);
        starting_ = false;
        probe_since_ = -1;
        probe_gain_ = kFirstGain;
        quiet_since_ = now;
        if (over)
            cut(queued, queue, now);
        else if (link_ > 0)
            set(std::min(target_, kShare * link_));
    } else {
        flat(now);
    }
    if (target_ == before) return std::nullopt;
    return target_;
}

}  // namespace tav::net
