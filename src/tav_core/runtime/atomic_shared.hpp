// A shared_ptr that threads replace and read at once: the part of std::atomic<std::shared_ptr<T>>
// this code uses, for C++ runtimes that lack it (libc++, which the Linux wheels link). The
// object a replaced pointer held may be destroyed only after the lock is left: its destructor
// may take locks of its own.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace tav {

template <class T>
class AtomicShared {
  public:
    std::shared_ptr<T> load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    AtomicShared& operator=(std::shared_ptr<T> value) {
        {
            std::lock_guard lock(mutex_);
            value_.swap(value);
        }
        return *this;  // the old pointer goes here, unlocked
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace tav
