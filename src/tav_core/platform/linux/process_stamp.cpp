// A process's start time and pid namespace, from /proc.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/process.hpp"

namespace tav::platform {

namespace {

// The start time of process `pid`; 0 when it does not run (zombies included), -1 when unknown.
long long start_time_of(pid_t pid) {
    int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? 0 : -1;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return n < 0 && errno == ESRCH ? 0 : -1;
    std::string_view text(buf, static_cast<size_t>(n));
    size_t close = text.rfind(')');
    if (close == std::string_view::npos) return -1;
    // After the name: the state (field 3), then fields 4 and on, separated by single spaces.
    std::istringstream fields{std::string(text.substr(close + 1))};
    std::string state;
    long long field = 0;
    fields >> state;
    if (state == "Z" || state == "X") return 0;
    for (int i = 4; i <= 22; ++i)
        if (!(fields >> field)) return -1;
    return field;
}

uint64_t pid_namespace() {
    struct stat st;
    return ::stat("/proc/self/ns/pid", &st) == 0 ? st.st_ino : 0;
}

}  // namespace

ProcessStamp stamp_of_this_process() {
    ProcessStamp s;
    s.pid = static_cast<uint64_t>(::getpid());
    long long start = start_time_of(::getpid());  // clock ticks after boot
    s.start_time = start > 0 ? static_cast<uint64_t>(start) : 0;
    s.pid_namespace = pid_namespace();
    return s;
}

bool stamped_process_gone(const ProcessStamp& s) {
    const uint64_t own_namespace = pid_namespace();
    if (own_namespace == 0 || s.pid_namespace != own_namespace || s.pid == 0) return false;
    long long start = start_time_of(static_cast<pid_t>(s.pid));
    return start == 0 ||
           (start > 0 && s.start_time != 0 && static_cast<uint64_t>(start) != s.start_time);
}

}  // namespace tav::platform
