// An in-process event: set once (it stays set), waited on without the GIL.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tav {

class OneShot {
  public:
    void set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        cv_.notify_all();
    }
    bool is_set() {
        std::lock_guard lock(mutex_);
        return set_;
    }
    void wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return set_; });
    }
    bool wait_for(double seconds) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return set_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace tav
