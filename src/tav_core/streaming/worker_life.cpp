#include "streaming/worker_life.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "platform/descriptors.hpp"

namespace tav::streaming {

namespace {
std::atomic<platform::Handle> lifeline{platform::kNoHandle};
}

void ParentWatch::set_lifeline(platform::Handle stream) { lifeline = stream; }

bool ParentWatch::gone() const {
    if (!forked_) return false;
    const platform::Handle stream = lifeline;
    return stream != platform::kNoHandle ? platform::stream_ended(stream)
                                         : platform::parent_process() != parent_;
}

bool wait_for_wake(ipc::Event& event, const ParentWatch& parent, double lifespan) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(lifespan);
    for (;;) {
        double left = std::chrono::duration<double>(deadline - clock::now()).count();
        if (left <= 0) return false;
        if (event.wait(std::min(left, kWaitSlice))) return true;
        if (parent.gone()) return false;
    }
}

std::optional<ipc::Shm> attach_block(const std::string& name, size_t size,
                                     const ParentWatch& parent) {
    try {
        return ipc::Shm::attach(name, size);
    } catch (const ipc::ShmError& e) {
        if (parent.forked() && e.code().value() == ENOENT) return std::nullopt;
        throw;
    }
}

LockScope::LockScope(ipc::Lock& lock, const ParentWatch& parent) : lock_(lock) {
    while (!(held_ = lock_.acquire(true, kWaitSlice)))
        if (parent.gone()) return;
}

LockScope::~LockScope() {
    if (!held_) return;
    try {
        lock_.release();
    } catch (const std::exception&) {
        // Freed behind our back (the server reclaims locks of workers it gave up on): nothing
        // left to release.
    }
}

}  // namespace tav::streaming
