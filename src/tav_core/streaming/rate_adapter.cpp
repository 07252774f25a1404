#include "streaming/rate_adapter.hpp"

#include <algorithm>

namespace tav::streaming {

namespace {

constexpr double kBusyHistory = 2.0;   // seconds of busy intervals the capacity is taken from
constexpr double kWindow = 0.5;        // seconds between decisions: an encoder needs a few frames
constexpr int kCongestedRefusals = 2;  // refusals in a window that make it congested
constexpr double kShare = 0.85;        // of the capacity the stream may fill: room for replies
constexpr double kEase = 0.9;          // a decrease when congestion outlasts a capacity-led one
constexpr double kRise = 1.06;         // per calm window
constexpr double kCalm = 1.0;          // seconds without a refusal before the target rises

}  // namespace

RateAdapter::RateAdapter(double asked_bps)
    : asked_(asked_bps), floor_(std::min(asked_bps, kRateFloorBps)), target_(asked_bps) {}

double RateAdapter::capacity() const {
    double seconds = 0, bytes = 0;
    for (const Busy& b : busy_) {
        seconds += b.seconds;
        bytes += b.bytes;
    }
    // Less than a tenth of a second of busy link is a burst, not a measurement.
    return seconds >= 0.1 ? bytes * 8 / seconds : 0;
}

void RateAdapter::set(double bps, double now) {
    if (bps < target_) last_decrease_ = now;
    target_ = std::clamp(bps, floor_, asked_);
}

std::optional<double> RateAdapter::observe(double now, uint64_t acked, size_t backlog,
                                           bool refused) {
    if (!last_at_) {
        last_at_ = window_start_ = last_decrease_ = last_refusal_ = now;
        last_acked_ = acked;
        last_backlog_ = backlog;
        return std::nullopt;
    }
    // The link was busy the whole interval when data waited at both ends of it: what it
    // delivered meanwhile is what it can deliver.
    if (last_backlog_ > 0 && backlog > 0 && acked > last_acked_ && now > *last_at_)
        busy_.push_back({now, now - *last_at_, static_cast<double>(acked - last_acked_)});
    while (!busy_.empty() && now - busy_.front().at > kBusyHistory) busy_.pop_front();
    last_at_ = now;
    last_acked_ = acked;
    last_backlog_ = backlog;
    if (refused) {
        ++refusals_;
        last_refusal_ = now;
    }
    if (now - window_start_ < kWindow) return std::nullopt;

    const bool congested = refusals_ >= kCongestedRefusals;
    congested_windows_ = congested ? congested_windows_ + 1 : 0;
    refusals_ = 0;
    window_start_ = now;
    const double before = target_;
    const double cap = capacity();
    if (congested && cap > 0 && target_ > kShare * cap) {
        set(kShare * cap, now);
    } else if (congested_windows_ >= 2) {
        // Still congested below the measured share: the encoder overshoots its target.
        set(target_ * kEase, now);
        congested_windows_ = 0;
    } else if (!congested && now - last_refusal_ >= kCalm && now - last_decrease_ >= kCalm) {
        set(target_ * kRise, now);
    }
    if (target_ == before) return std::nullopt;
    return target_;
}

}  // namespace tav::streaming
