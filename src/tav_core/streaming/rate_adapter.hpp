// The encoder's target bit rate on a link that may be slower than the stream: it follows the rate
// the connection delivers while the link is busy, down within about a second of congestion, back
// up gradually while frames go out without waiting, never above what the app asked and never
// below kRateFloorBps. Pure arithmetic on observations; the connection feeds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace tav::streaming {

// Below this a 720-pixel picture is no longer worth watching; a slower link keeps latency bounded
// by skipping frames instead.
inline constexpr double kRateFloorBps = 150'000;

class RateAdapter {
  public:
    explicit RateAdapter(double asked_bps);

    // One observation, every few tens of milliseconds: the bytes the app has acknowledged in
    // total, the bytes not yet delivered, and whether a frame was refused since the last one.
    // Returns the new target when it changed.
    std::optional<double> observe(double now, uint64_t acked, size_t backlog, bool refused);

    double target() const { return target_; }
    double asked() const { return asked_; }
    // What the link delivered while it was busy during the last seconds (bit/s), or 0.
    double capacity() const;

  private:
    struct Busy {
        double at, seconds, bytes;
    };
    void set(double bps, double now);

    double asked_, floor_, target_;
    std::deque<Busy> busy_;  // intervals during which the backlog never ran dry
    std::optional<double> last_at_;
    uint64_t last_acked_ = 0;
    size_t last_backlog_ = 0;
    double window_start_ = 0, last_decrease_ = 0, last_refusal_ = 0;
    int refusals_ = 0, congested_windows_ = 0;
};

}  // namespace tav::streaming
