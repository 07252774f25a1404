// How a worker process ends in time: after an idle lifespan without a wake-up, and soon after the
// host process died, also while it waits for a wake-up or for a shared lock.
#pragma once

#include <optional>
#include <string>

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/shm.hpp"
#include "platform/process.hpp"

namespace tav::streaming {

// Seconds a worker waits for its next wake-up before it ends by itself.
inline constexpr double kIdleLifespan = 10.0;
// Longest single wait, so that the death of the host is noticed within about this long.
inline constexpr double kWaitSlice = 0.25;

// The process that started the worker. A forked worker whose parent died is re-parented, so its
// parent process no longer is that one; a worker running inside that very process never orphans.
// A spawned worker may start after its host died already, and learns of that death by the end of
// its standard input, which its host holds open until the worker ended (its lifeline).
class ParentWatch {
  public:
    explicit ParentWatch(platform::Pid parent)
        : parent_(parent), forked_(platform::current_process() != parent) {}
    bool gone() const;
    // Whether the worker runs in a process of its own (forked or spawned).
    bool forked() const { return forked_; }
    // In a spawned worker: the stream whose end means the host is gone.
    static void set_lifeline(platform::Handle stream);

  private:
    platform::Pid parent_;
    bool forked_;
};

// Waits for `event` at most `lifespan` seconds; false on time-out or when the parent is gone.
bool wait_for_wake(ipc::Event& event, const ParentWatch& parent, double lifespan = kIdleLifespan);

// Attaches the frame block. The server removes a block once it no longer wants its workers (a
// stop, or the exit of its process), so a forked worker that finds it gone ends quietly: nothing
// then. Any other failure throws, as does a missing block in a worker run in the caller's process.
std::optional<ipc::Shm> attach_block(const std::string& name, size_t size,
                                     const ParentWatch& parent);

// Takes `lock` for the scope, unless the parent dies first (then it is not held and tests false).
class LockScope {
  public:
    LockScope(ipc::Lock& lock, const ParentWatch& parent);
    ~LockScope();
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;
    explicit operator bool() const { return held_; }

  private:
    ipc::Lock& lock_;
    bool held_ = false;
};

}  // namespace tav::streaming
