// A binary semaphore shared with child processes: a forked child reaches it at the same address,
// a spawned one opens it from the handles it was handed (descriptors, or Windows HANDLEs
// duplicated into it). The holder is recorded
// as a process id, so that a lock held by a process that died can be taken back. The memory goes
// with the last process that has it open: nothing is ever left in a name space.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/process.hpp"

namespace tav::platform {

class SharedSemaphore {
  public:
    // A new, free semaphore.
    SharedSemaphore();
    // Opens the semaphore whose handles (from handles()) were handed to this process. Takes them
    // over. Throws std::invalid_argument when they designate no semaphore.
    explicit SharedSemaphore(const std::vector<Handle>& handles);
    ~SharedSemaphore();
    SharedSemaphore(const SharedSemaphore&) = delete;
    SharedSemaphore& operator=(const SharedSemaphore&) = delete;

    // Takes it. Non-blocking when `blocking` is false; `timeout` < 0 waits without limit.
    bool acquire(bool blocking, double timeout);
    // Frees it; std::invalid_argument when it is already free.
    void release();
    // Frees it if the process `pid` (dead and reaped) holds it. True if it did.
    bool recover(Pid pid);
    bool locked() const;

    // What a spawned process needs to open it: handles to hand over, in this order.
    std::vector<Handle> handles() const;
    // Where it lives in this process (and in forked children): a stable identity.
    uintptr_t address() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
};

}  // namespace tav::platform
