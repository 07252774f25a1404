// Without a process's start time: only a pid that no process has is certainly gone (a reused one
// looks alive, which leaves its block alone: the safe side).
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/process.hpp"

namespace tav::platform {

ProcessStamp stamp_of_this_process() {
    ProcessStamp s;
    s.pid = static_cast<uint64_t>(::getpid());
    return s;
}

bool stamped_process_gone(const ProcessStamp& s) {
    if (s.pid == 0 || s.pid_namespace != 0 || s.start_time != 0) return false;  // not ours
    return ::kill(static_cast<pid_t>(s.pid), 0) != 0 && errno == ESRCH;
}

}  // namespace tav::platform
