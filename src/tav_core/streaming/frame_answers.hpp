// The hand-off from the host's frame getters to the frame requests waiting for them: each request
// learns that the getters answered it, or that the session ended.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "runtime/one_shot.hpp"

namespace tav::streaming {

namespace nb = nanobind;

// What the host's getters returned last in a session. Each getter sets its own part; one that
// fails leaves the part as it was.
struct FrameSource {
    nb::object position = nb::none();  // (x, y), or none
    std::optional<uint64_t> pointer;
    nb::object buffer = nb::none();  // a bytes-like object, or none
};

// Every waiting frame request has an answer of its own, so no request can take another's. A getter
// that finishes answers every request registered before it (what it returned is at least as new as
// each of them asked for); the end of the session releases every request, those still to come
// included, unanswered. A request then reads the latest source, not one kept for it: the host may
// already have freed what an earlier getter pointed to. The latest source is the getters' alone:
// they run in host context, one at a time, holding the GIL (its Python objects need it).
class FrameAnswers {
  public:
    class Answer {
      public:
        // Without the GIL. True when a getter answered, false when the session ended first.
        bool wait() {
            done_.wait();
            return answered_;
        }

      private:
        friend class FrameAnswers;
        OneShot done_;
        bool answered_ = false;  // written before done_ is set
    };

    // A new request's answer: set by the next getter to finish, or at once once the session ended.
    std::shared_ptr<Answer> await() {
        auto mine = std::make_shared<Answer>();
        bool closed;
        {
            std::lock_guard lock(mutex_);
            closed = closed_;
            if (!closed) waiting_.push_back(mine);
        }
        if (closed) mine->done_.set();
        return mine;
    }
    // In host context, for the getter that runs now.
    FrameSource& latest() { return latest_; }
    // In host context: a getter finished, whether it succeeded or not.
    void answer() { release(false); }
    // Holding the GIL: the session ended.
    void close() { release(true); }

  private:
    void release(bool close) {
        std::vector<std::shared_ptr<Answer>> answered;
        {
            std::lock_guard lock(mutex_);
            closed_ = closed_ || close;
            answered.swap(waiting_);
        }
        for (auto& a : answered) {
            a->answered_ = !close;
            a->done_.set();
        }
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<Answer>> waiting_;
    bool closed_ = false;
    FrameSource latest_;
};

}  // namespace tav::streaming
