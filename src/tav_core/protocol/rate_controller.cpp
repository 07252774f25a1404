#include "protocol/rate_controller.hpp"

#include <algorithm>

namespace tav::net {

namespace {

// docs/rate_control.md gives the reasons for each.
constexpr double kBusyHistory = 1.0;    // s of busy link the capacity is taken from
constexpr double kQueueWindow = 0.15;   // s: the standing queue is the least backlog in it
constexpr double kOverFrames = 1.0;     // a standing queue of more frames than this: back off
constexpr double kRiseFrames = 0.5;     // a growing queue beyond this, or a refusal: a rise
constexpr double kBackoff = 0.85;       // of the capacity, after a queue built
constexpr double kDrainSeconds = 1.0;   // a standing queue is drained within this, on top
constexpr double kDecreaseGap = 0.3;    // s: a decrease reaches the encoder's output first
constexpr double kHold = 1.0;           // s after a decrease without probing
constexpr double kStartRise = 1.5;      // per kStartInterval while starting
constexpr double kStartInterval = 0.15;
constexpr double kProbe = 1.05;         // per kProbeInterval afterwards
constexpr double kProbeInterval = 0.5;
constexpr double kFillWindow = 0.5;     // s over which the stream's use of its target is seen
constexpr double kProbeFill = 0.5;      // probe only while the stream delivers this of its target
constexpr double kMinFrame = 1.0 / 60, kMaxFrame = 0.1;  // s: the frame time the queue is held to

}  // namespace

RateController::RateController(double asked_bps, double fps)
    : asked_(asked_bps),
      floor_(std::min(asked_bps, kRateFloorBps)),
      frame_seconds_(std::clamp(fps > 0 ? 1.0 / fps : kMaxFrame, kMinFrame, kMaxFrame)),
      target_(start_target(asked_bps)) {}

double RateController::start_target(double asked_bps) { return std::min(asked_bps, kStartBps); }

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
    if (deliveries_.size() < 2) return 0;
    const auto& [at, bytes] = deliveries_.front();
    const double span = now - at;
    return span >= kFillWindow / 2 ? (deliveries_.back().second - bytes) * 8 / span : 0;
}

void RateController::set(double bps, double now) {
    const double next = std::clamp(bps, floor_, asked_);
    if (next < target_) last_decrease_ = now;
    if (next != target_) last_change_ = now;
    target_ = next;
}

RateController::Signal RateController::classify(const LinkSample& s, double queue) const {
    if (queue > kOverFrames * frame_seconds_) return Signal::over;
    if (s.refused || (queue > kRiseFrames * frame_seconds_ && queue > last_queue_))
        return Signal::rising;
    // The round trip above its least is the queue in the network itself, which the backlog
    // shows only once acknowledgements lag: probing waits while it is beyond half a frame.
    if (s.rtt > 0 && s.min_rtt > 0 && s.rtt - s.min_rtt > kRiseFrames * frame_seconds_)
        return Signal::rising;
    return Signal::flat;
}

std::optional<double> RateController::step(const LinkSample& s) {
    const double now = s.now;
    if (last_) {
        // The link was busy the whole interval when data waited at both ends of it: what it
        // delivered meanwhile is what it can deliver.
        if (last_->backlog > 0 && s.backlog > 0 && s.delivered > last_->delivered &&
            now > last_->now)
            busy_.push_back({now, now - last_->now,
                             static_cast<double>(s.delivered - last_->delivered)});
    } else {
        last_change_ = now;
    }
    while (!busy_.empty() && now - busy_.front().at > kBusyHistory) busy_.pop_front();
    deliveries_.emplace_back(now, s.delivered);
    while (deliveries_.size() > 2 && now - deliveries_[1].first >= kFillWindow)
        deliveries_.pop_front();
    backlogs_.emplace_back(now, s.backlog);
    while (now - backlogs_.front().first > kQueueWindow) backlogs_.pop_front();
    const bool first = !last_;
    last_ = s;
    if (first) return std::nullopt;

    // The standing queue: the least backlog of the window, less what a round trip keeps on
    // its way at the link's rate, in seconds at that rate.
    const double cap = capacity();
    const double rate = cap > 0 ? cap : target_;
    double queued = static_cast<double>(
        std::min_element(backlogs_.begin(), backlogs_.end(), [](auto& a, auto& b) {
            return a.second < b.second;
        })->second);
    queued = std::max(0.0, queued - s.min_rtt * rate / 8);
    const double queue = queued * 8 / rate;
    const Signal signal = classify(s, queue);
    last_queue_ = queue;

    const double before = target_;
    switch (signal) {
        case Signal::over:
            starting_ = false;
            if (now - last_decrease_ >= kDecreaseGap) {
                // Down to a share of what the link delivered, and below it by what drains the
                // queue; when the target is already there the encoder overshoots it: ease.
                double next = cap > 0 && kBackoff * cap < target_ ? kBackoff * cap
                                                                   : kBackoff * target_;
                next -= queued * 8 / kDrainSeconds;
                set(std::min(next, target_), now);
                last_decrease_ = now;
                hold_until_ = now + kHold;
            }
            break;
        case Signal::rising:
            // The first rise after a probe undoes it; one above the measured capacity backs off.
            if (starting_ || now - last_probe_ <= 2 * kProbeInterval) {
                if (before_probe_ > 0) set(std::min(target_, before_probe_), now);
                before_probe_ = 0;
            }
            if (cap > 0 && target_ > cap) set(kBackoff * cap, now);
            starting_ = false;
            hold_until_ = std::max(hold_until_, now + kProbeInterval);
            break;
        case Signal::flat: {
            const double interval = starting_ ? kStartInterval : kProbeInterval;
            if (now >= hold_until_ && now - last_probe_ >= interval && target_ < asked_ &&
                delivered_rate(now) >= kProbeFill * target_) {
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
