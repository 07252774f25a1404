// macOS: a spawn closes everything it does not place (POSIX_SPAWN_CLOEXEC_DEFAULT), and a wait
// sleeps in kqueue until the child exits (EVFILT_PROC).
#include "platform/process_parts.hpp"

#include <sys/event.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tav::platform::detail {

// In a forked child of a threaded process nothing may allocate: every number is tried.
void close_descriptors_except(std::vector<int> keep) {
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < limit; ++fd)
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
}

void close_rest_on_spawn(posix_spawn_file_actions_t*, short* flags, int) {
    *flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
}

ExitWatch::ExitWatch(Pid pid) : handle_(::kqueue()) {
    if (handle_ < 0) return;
    struct kevent change;
    EV_SET(&change, pid, EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (::kevent(handle_, &change, 1, nullptr, 0, nullptr) != 0) {
        ::close(handle_);  // already gone (the caller's next check reaps it), or no kqueue
        handle_ = -1;
    }
}

ExitWatch::~ExitWatch() {
    if (handle_ >= 0) ::close(handle_);
}

void ExitWatch::wait(double seconds, double interval) {
    if (handle_ >= 0) {
        struct kevent event;
        const timespec limit{static_cast<time_t>(seconds),
                             static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9)};
        ::kevent(handle_, nullptr, 0, &event, 1, &limit);
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(interval, seconds)));
    }
}

}  // namespace tav::platform::detail
