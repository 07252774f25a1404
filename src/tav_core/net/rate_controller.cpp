#include "net/rate_controller.hpp"

#include <algorithm>

namespace tav::net {

namespace {

// docs/rate_control.md gives the reasons for each.
constexpr double kBusyHistory = 1.0;   // s of busy link the capacity is taken from
constexpr double kQueueWindow = 0.2;   // s: the standing queue is the least backlog in it
constexpr double kOverFrames = 1.0;    // a standing queue of more frames than this: back off
constexpr double kRiseFrames = 0.25;   // a growing standing queue beyond this: a rise
constexpr double kBackoff = 0.85;      // of the capacity, after a queue built
constexpr double kDrainSeconds = 1.0;  // a standing queue drains within this (at most half)
constexpr double kDecreaseGap = 0.2;   // s: a decrease reaches the encoder's output first
constexpr double kDraining = 0.9;      // of the queue at the last decrease: a queue draining
constexpr double kHold = 1.0;          // s after a decrease without probing
constexpr double kStartRise = 1.5;     // per kStartInterval while starting
constexpr double kStartInterval = 0.15;
constexpr double kProbe = 1.05;    // per kProbeInterval afterwards
constexpr double kProbeCap = 0.9;  // of a capacity measured in the last kBusyHistory
constexpr double kProbeInterval = 0.5;
constexpr double kFillWindow = 0.5;  // s over which the stream's use of its target is seen
constexpr double kProbeFill = 0.5;   // probe only while the stream delivers this of its target
constexpr double kMinFrame = 1.0 / 60, kMaxFrame = 0.1;  // s: the frame time the queue is held to

}  // namespace

RateController::RateController(double asked_bps, double fps, double start_bps)
    : asked_(asked_bps),
      floor_(std::min(asked_bps, kRateFloorBps)),
      frame_seconds_(std::clamp(fps > 0 ? 1.0 / fps : kMaxFrame, kMinFrame, kMaxFrame)),
      target_(std::clamp(start_bps, floor_, asked_bps)),
      starting_(start_bps <= kStartBps) {}

double RateController::start_target(double asked_bps, double shown_bps) {
    return std::min(asked_bps, std::max(kStartBps, shown_bps));
}

double RateController::capacity() const {
    double seconds = 0, bytes = 0;
    for (const Busy& b : busy_) {
        seconds += b.seconds;
        bytes += b.bytes;
    }
    // Less than a tenth of a second of busy link is a burst, not a measurement.
    return seconds >= 0.1 ? bytes * 8 / seconds : 0;
}

double RateController::delivered_rate(double now) const {
    const double span = now - seen_.front().at;
    return span >= kFillWindow / 2 ? (seen_.back().delivered - seen_.front().delivered) * 8 / span
                                   : 0;
}

void RateController::set(double bps, double now) {
    const double next = std::clamp(bps, floor_, asked_);
    if (next < target_) last_decrease_ = now;
    target_ = next;
}

RateController::Signal RateController::classify(const LinkSample& s, double queue) const {
    if (queue > kOverFrames * frame_seconds_) return Signal::over;
    // A queue that stands and grows (twice in a row, so that where the samples fall between
    // frames is not taken for a trend), or stands while frames are refused.
    if (queue > kRiseFrames * frame_seconds_ &&
        (s.refused || (queue > last_queue_ && last_queue_ > queue_before_)))
        return Signal::rising;
    // The round trip above its least is the queue in the network itself, which the backlog
    // shows only once acknowledgements lag.
    if (s.rtt > 0 && s.min_rtt > 0 && s.rtt - s.min_rtt > kOverFrames * frame_seconds_)
        return Signal::rising;
    return Signal::flat;
}

std::optional<double> RateController::step(const LinkSample& s) {
    const double now = s.now;
    const bool first = seen_.empty();
    if (!first) {
        // The link was busy the whole interval when more was waiting at its start than it
        // delivered in it: what it delivered meanwhile is what it can deliver.
        const Seen& last = seen_.back();
        if (s.delivered > last.delivered && last.backlog > s.delivered - last.delivered &&
            now > last.at)
            busy_.push_back(
                {now, now - last.at, static_cast<double>(s.delivered - last.delivered)});
    }
    while (!busy_.empty() && now - busy_.front().at > kBusyHistory) busy_.pop_front();
    seen_.push_back({now, s.backlog, s.delivered});
    while (seen_.size() > 2 && now - seen_[1].at >= kFillWindow) seen_.pop_front();
    if (first) return std::nullopt;

    // The standing queue: the least backlog of the last kQueueWindow, less what a round trip
    // keeps on its way at the link's rate, in seconds at that rate. While it stands the link is
    // busy, and what it delivered in the window is its rate now (the capacity may still hold a
    // faster past).
    auto from = std::find_if(seen_.begin(), seen_.end(),
                             [&](const Seen& x) { return now - x.at <= kQueueWindow; });
    size_t least = s.backlog;
    for (auto it = from; it != seen_.end(); ++it) least = std::min(least, it->backlog);
    const double span = now - from->at;
    const double recent = least > 0 && span > 0 ? (s.delivered - from->delivered) * 8 / span : 0;
    double cap = capacity();
    if (recent > 0) cap = cap > 0 ? std::min(cap, recent) : recent;
    const double rate = cap > 0 ? cap : target_;
    const double queued = std::max(0.0, static_cast<double>(least) - s.min_rtt * rate / 8);
    const double queue = queued * 8 / rate;
    const Signal signal = classify(s, queue);
    queue_before_ = last_queue_;
    last_queue_ = queue;

    const double before = target_;
    switch (signal) {
        case Signal::over:
            starting_ = false;
            // A queue that shrinks since the last decrease is draining: it needs time, not a
            // further decrease.
            if (now - last_decrease_ >= kDecreaseGap && queue >= kDraining * decrease_queue_) {
                // Down to a share of what the link delivered, and below it by what drains the
                // queue; when the target is already there the encoder overshoots it: ease.
                double next =
                    cap > 0 && kBackoff * cap < target_ ? kBackoff * cap : kBackoff * target_;
                next = std::max(next - queued * 8 / kDrainSeconds, next / 2);
                set(std::min(next, target_), now);
                last_decrease_ = now;
                hold_until_ = now + kHold;
                decrease_queue_ = queue;
                if (cap > 0) decrease_cap_ = cap;
            }
            break;
        case Signal::rising:
            // The first rise after a probe undoes it; with the capacity known, back to a share.
            if (starting_ || now - last_probe_ <= 2 * kProbeInterval) {
                if (before_probe_ > 0) set(std::min(target_, before_probe_), now);
                before_probe_ = 0;
            }
            if (cap > 0) set(std::min(target_, kBackoff * cap), now);
            starting_ = false;
            hold_until_ = std::max(hold_until_, now + kProbeInterval);
            break;
        case Signal::flat: {
            // Once the queue has drained and the hold is over, back at once to the share of the
            // capacity the link showed when it built: the drain went below it.
            decrease_queue_ = 0;
            if (decrease_cap_ > 0 && now >= hold_until_) {
                if (target_ < kBackoff * decrease_cap_) set(kBackoff * decrease_cap_, now);
                decrease_cap_ = 0;
                break;
            }
            const double interval = starting_ ? kStartInterval : kProbeInterval;
            // A link that was seen busy in the last second has shown its rate: no probing past
            // a share of it until that is forgotten.
            if (now >= hold_until_ && now - last_probe_ >= interval && target_ < asked_ &&
                delivered_rate(now) >= kProbeFill * target_ &&
                (cap <= 0 || target_ < kProbeCap * cap)) {
                before_probe_ = target_;
                last_probe_ = now;
                set(target_ * (starting_ ? kStartRise : kProbe), now);
            }
            break;
        }
    }
    if (target_ == before) return std::nullopt;
    return target_;
}

}  // namespace tav::net
