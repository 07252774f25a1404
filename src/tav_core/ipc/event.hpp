// An event flag shared across processes, built from three binary semaphores only.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "ipc/lock.hpp"

namespace tav::ipc {

class Event {
  public:
    Event();  // three new locks; the event is clear
    // Opens the event whose share descriptions (flag, lock, wait) are given; state unchanged.
    static std::shared_ptr<Event> from_share(const std::array<std::string, 3>& descriptions);

    bool is_set();
    void set();  // sets the flag and wakes one waiter
    void clear();
    // Waits until set or `timeout` seconds passed (< 0: no limit); true when set. Never call
    // holding the GIL.
    bool wait(double timeout = -1);
    // The share descriptions of the flag, the guard and the wake-up (see Lock::share).
    std::array<std::string, 3> share(const platform::HandOver* to = nullptr) const;
    // Frees the guard lock if the process `pid` (dead and reaped) died inside an operation. The
    // flag and the wake-up count are the event's state and stay as they are.
    void recover(platform::Pid pid) { lock_->recover(pid); }
    // The handles a child must be handed (a forked one: keep open) to use it.
    std::vector<platform::Handle> handles() const;

  private:
    Event(std::shared_ptr<Lock> flag, std::shared_ptr<Lock> lock, std::shared_ptr<Lock> wait);
    std::shared_ptr<Lock> flag_;  // count 1: the event is set
    std::shared_ptr<Lock> lock_;  // guards every change and check
    std::shared_ptr<Lock> wait_;  // count 1: a wake-up is available
};

}  // namespace tav::ipc
