// The part of the shared semaphore that its posix/ and win/ files share: where the semaphore
// itself records no owner (a pipe's token, a Windows semaphore object), a word of shared memory
// beside it holds the holder's pid, so that a lock a dead process held can be taken back.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>

namespace tav::platform::detail {

struct HolderCell {
    static constexpr uint32_t kMagic = 0x4b434c54;  // "TLCK"
    uint32_t magic = kMagic;
    std::atomic<uint32_t> word{0};  // 0: free; otherwise the pid of the holder

    bool valid() const { return magic == kMagic; }
    bool held() const { return word.load() != 0; }
    void take(uint32_t pid) { word.store(pid); }
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

}  // namespace tav::platform::detail
