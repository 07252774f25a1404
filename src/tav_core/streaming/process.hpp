// Forked worker processes: start, wait with a time limit, kill.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <vector>

namespace tav::streaming {

// Forks a child that closes every inherited descriptor except 0, 1, 2 and `keep_fds`, runs `body`
// (which must never touch Python) and ends with _exit(0). Returns the child's pid, or nothing when
// the fork failed.
std::optional<pid_t> fork_worker(const std::function<void()>& body, std::vector<int> keep_fds);

// Waits (without polling where the kernel offers process descriptors) until the child `pid` ended
// and reaps it. True when it ended (or is not our child any more), false when `seconds` passed.
bool wait_process(pid_t pid, double seconds, double interval = 0.05);

// True when the child has ended; reaps it. Never blocks.
bool process_ended(pid_t pid);

// Sends SIGKILL; a process that no longer exists is no error.
void kill_process(pid_t pid);

}  // namespace tav::streaming
