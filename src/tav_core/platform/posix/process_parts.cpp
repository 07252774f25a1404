// Without a call that closes a range of descriptors or a handle on a child's exit: descriptors
// are closed one by one, and a wait polls the child.
#include "platform/process_parts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace tav::platform::detail {

namespace {

// The open descriptors from `from` up, read from /dev/fd where the system lists them there, else
// found by trying every number below the descriptor limit (at most 65536 of them).
std::vector<int> open_descriptors(int from) {
    std::vector<int> fds;
    if (DIR* dir = ::opendir("/dev/fd")) {
        const int own = ::dirfd(dir);
        while (dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            long fd = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && fd >= from && fd != own)
                fds.push_back(static_cast<int>(fd));
        }
        ::closedir(dir);
        return fds;
    }
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = from; fd < limit; ++fd)
        if (::fcntl(fd, F_GETFD) >= 0) fds.push_back(fd);
    return fds;
}

}  // namespace

// In a forked child of a threaded process nothing may allocate: every number is tried.
void close_descriptors_except(std::vector<int> keep) {
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < limit; ++fd)
        if (std::find(keep.begin(), keep.end(), fd) == keep.end()) ::close(fd);
}

// Only what would survive the exec needs closing. A descriptor another thread opens without
// close-on-exec between this listing and the spawn does reach the child: the system offers no
// way to close the rest at the spawn itself.
void close_rest_on_spawn(posix_spawn_file_actions_t* actions, short*, int from) {
    for (int fd : open_descriptors(from)) {
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) ::posix_spawn_file_actions_addclose(actions, fd);
    }
}

ExitWatch::ExitWatch(Pid) {}
ExitWatch::~ExitWatch() {}

void ExitWatch::wait(double seconds, double interval) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(interval, seconds)));
}

}  // namespace tav::platform::detail
