// Forked worker processes: start, wait with a time limit, kill.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <vector>

namespace tav::streaming {

// Forks a child that closes every inherited descriptor except 0, 1, 2 and `keep_fds`, runs `body`
// (which must never touch Python) and ends with _exit(the status `body` returned; 1 when it
// threw). Returns the child's pid, or nothing when the fork failed.
std::optional<pid_t> fork_worker(const std::function<int()>& body, std::vector<int> keep_fds);

// Waits (without polling where the kernel offers process descriptors) until the child `pid` ended
// and reaps it. True when it ended (or is not our child any more), false when `seconds` passed.
bool wait_process(pid_t pid, double seconds, double interval = 0.05);

// True when the child has ended; reaps it and stores its wait status in `status` (0 when it was
// not our child any more). Never blocks.
bool process_ended(pid_t pid, int* status = nullptr);

// Sends SIGKILL; a process that no longer exists is no error.
void kill_process(pid_t pid);

}  // namespace tav::streaming
