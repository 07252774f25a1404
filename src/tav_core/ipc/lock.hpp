// A binary semaphore that works across the server and the processes it forks.
//
// The semaphore word lives in an anonymous shared mapping, so a forked child reaches it at the same
// address and the kernel frees it with the last process that maps it: nothing is ever left in a
// name space. The word holds the pid of the process that took it, which lets the server reclaim a
// lock held by a worker it had to kill.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tav::ipc {

class Lock {
  public:
    Lock();  // a new, free lock

    // Opens the lock a share description designates; throws std::invalid_argument when the
    // description does not designate a lock mapped in this process.
    static std::shared_ptr<Lock> from_share(std::string_view description);

    // Takes the lock. Non-blocking when `blocking` is false; `timeout` < 0 waits without limit.
    // Never call holding the GIL while it may block.
    bool acquire(bool blocking = true, double timeout = -1);

    // Frees the lock; std::invalid_argument when it is already free.
    void release();

    // The share description (a byte string) by which a forked process opens this lock.
    std::string share() const;

    // Frees the lock if the process `pid` (dead and reaped) still holds it. True if it did.
    bool recover(pid_t pid);

    bool locked() const;

    struct Segment;  // the shared mapping holding the semaphore word

  private:
    explicit Lock(std::shared_ptr<Segment> segment);
    std::shared_ptr<Segment> segment_;
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
