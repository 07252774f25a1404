#include "platform/process_parts.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tav::platform::detail {

void close_descriptors_except(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned int from = 3;
    for (int fd : keep) {
        if (fd < static_cast<int>(from)) continue;
        if (static_cast<unsigned int>(fd) > from) syscall(SYS_close_range, from, fd - 1, 0);
        from = static_cast<unsigned int>(fd) + 1;
    }
    syscall(SYS_close_range, from, ~0U, 0);
}

void close_rest_on_spawn(posix_spawn_file_actions_t* actions, short*, int from) {
    ::posix_spawn_file_actions_addclosefrom_np(actions, from);
}

ExitWatch::ExitWatch(Pid pid) : handle_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}

ExitWatch::~ExitWatch() {
    if (handle_ >= 0) ::close(handle_);
}

void ExitWatch::wait(double seconds, double interval) {
    if (handle_ >= 0) {
        pollfd p{handle_, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(seconds * 1000) + 1);
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(interval, seconds)));
    }
}

}  // namespace tav::platform::detail
