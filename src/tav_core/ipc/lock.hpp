// A binary semaphore that works across the server and the processes it starts.
//
// It lives in memory shared with the workers (platform/shared_semaphore.hpp), so that a forked
// child reaches it at the same address and a spawned one opens it from handles it is handed,
// and it goes with the last process that has it: nothing is ever left in a name space. It records
// the process that took it, which lets the server reclaim a lock held by a worker it had to kill.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.hpp"
#include "platform/shared_semaphore.hpp"

namespace tav::ipc {

class Lock {
  public:
    Lock();  // a new, free lock

    // Opens the lock a share description designates; throws std::invalid_argument when the
    // description designates no lock of this process (one it maps, or was handed).
    static std::shared_ptr<Lock> from_share(std::string_view description);

    // Takes the lock. Non-blocking when `blocking` is false; `timeout` < 0 waits without limit.
    // Never call holding the GIL while it may block.
    bool acquire(bool blocking = true, double timeout = -1) {
        return semaphore_->acquire(blocking, timeout);
    }

    // Frees the lock; std::invalid_argument when it is already free.
    void release() { semaphore_->release(); }

    // The share description (a byte string) by which a forked process opens this lock, or, with
    // `to`, a spawned one that was handed its handles().
    std::string share(const platform::HandOver* to = nullptr) const;

    // Frees the lock if the process `pid` (dead and reaped) still holds it. True if it did.
    bool recover(platform::Pid pid) { return semaphore_->recover(pid); }

    bool locked() const { return semaphore_->locked(); }

    // The handles a child must be handed (a forked one: keep open) to use it.
    std::vector<platform::Handle> handles() const { return semaphore_->handles(); }

  private:
    explicit Lock(std::shared_ptr<platform::SharedSemaphore> semaphore)
        : semaphore_(std::move(semaphore)) {}
    std::shared_ptr<platform::SharedSemaphore> semaphore_;
};

// Scoped use of a Lock: taken blocking at construction, released at the end of the scope.
class Held {
  public:
    explicit Held(Lock& lock) : lock_(lock) { lock_.acquire(); }
    ~Held() { lock_.release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

  private:
    Lock& lock_;
};

}  // namespace tav::ipc
