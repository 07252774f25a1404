// The hand-off from the host's frame getters to the frame requests waiting for them.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "runtime/one_shot.hpp"

namespace tav::streaming {

// Every waiting frame request has an event of its own, so no request can take another's wake-up.
// A getter that finishes answers every request registered before it (what it stored is at least
// as new as each of them asked for); the end of the session releases every request, those still
// to come included.
class FrameAnswers {
  public:
    // A new request's event: set by the next answer, or already set once the session ended.
    std::shared_ptr<OneShot> await() {
        auto mine = std::make_shared<OneShot>();
        bool closed;
        {
            std::lock_guard lock(mutex_);
            closed = closed_;
            if (!closed) waiting_.push_back(mine);
        }
        if (closed) mine->set();
        return mine;
    }
    // A getter finished, whether it succeeded or not.
    void answer() { release(false); }
    // The session ended.
    void close() { release(true); }

  private:
    void release(bool close) {
        std::vector<std::shared_ptr<OneShot>> answered;
        {
            std::lock_guard lock(mutex_);
            closed_ = closed_ || close;
            answered.swap(waiting_);
        }
        for (auto& ev : answered) ev->set();
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<OneShot>> waiting_;
    bool closed_ = false;
};

}  // namespace tav::streaming
