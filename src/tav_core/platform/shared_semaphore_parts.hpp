// The part of the shared semaphore that its posix/ and win/ files share. The lock is a word of
// shared memory that holds the holder's pid: taking it is one atomic step that also records the
// holder, so a process killed at any instant either holds it under its pid (and recover() takes
// it back) or does not hold it at all. The system object beside it (a pipe, a Windows semaphore
// object) only wakes waiters; a wake-up that finds the lock taken again just waits again.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace tav::platform::detail {

struct HolderCell {
    static constexpr uint32_t kMagic = 0x4b434c54;  // "TLCK"
    uint32_t magic = kMagic;
    std::atomic<uint32_t> word{0};  // 0: free; otherwise the pid of the holder

    bool valid() const { return magic == kMagic; }
    bool held() const { return word.load() != 0; }
    bool try_take(uint32_t pid) {
        uint32_t free = 0;
        return word.compare_exchange_strong(free, pid);
    }
    // Marks it free; std::invalid_argument when it is free already.
    void free() {
        uint32_t held = word.load();
        do {
            if (held == 0) throw std::invalid_argument("semaphore or lock released too many times");
        } while (!word.compare_exchange_weak(held, 0));
    }
    // Marks it free if the process `pid` holds it; true if it did.
    bool free_if_held_by(uint32_t pid) { return word.compare_exchange_strong(pid, 0); }
};

// Takes `cell` for `pid`, waiting between tries by `wait_for_wake(milliseconds)` (-1: no limit)
// when `blocking`, until `timeout` seconds have passed (< 0: no limit).
template <class WaitForWake>
bool take(HolderCell& cell, uint32_t pid, bool blocking, double timeout,
          WaitForWake wait_for_wake) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(timeout < 0 ? 0 : timeout);
    for (;;) {
        if (cell.try_take(pid)) return true;
        if (!blocking) return false;
        int ms = -1;
        if (timeout >= 0) {
            const double left = std::chrono::duration<double>(deadline - clock::now()).count();
            if (left <= 0) return false;
            // Rounded up, so that a limited wait never ends early.
            ms = static_cast<int>(
                std::min(std::ceil(left * 1000), double(std::numeric_limits<int>::max())));
        }
        wait_for_wake(ms);
    }
}

}  // namespace tav::platform::detail
