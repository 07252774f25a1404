// Processes: the workers the server starts (forked, or spawned as a new program that is handed
// chosen descriptors and nothing else of ours), waiting for them with a time limit, killing and
// reaping them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tav::platform {

using Pid = int;

Pid current_process();
// The process that started this one (a worker's host). Changes when that process dies.
Pid parent_process();

// Runs `handler` in the child after every fork of this process (to make its locks anew).
void on_fork_child(void (*handler)());

// Forks a child that resets every signal to its default (ignoring SIGINT and SIGPIPE), closes
// every inherited descriptor except 0, 1, 2 and `keep_fds`, runs `body` (which must never touch
// Python) and ends with _exit(the status `body` returned; 1 when it threw). Returns the child's
// pid, or nothing when the fork failed. Where fork is not offered, always nothing.
std::optional<Pid> fork_child(const std::function<int()>& body, std::vector<int> keep_fds);

// The descriptors a spawned child is handed, in order: the first becomes its descriptor 3.
struct HandOver {
    static constexpr int kFirst = 3;
    std::vector<int> fds;
    // Adds `fd`; returns the number it has in the child.
    int pass(int fd) {
        fds.push_back(fd);
        return kFirst + static_cast<int>(fds.size()) - 1;
    }
};

// A spawned child as its parent holds it.
struct Spawned {
    Pid pid = 0;
    int input = -1;   // our end of the child's standard input (a pipe)
    int output = -1;  // our end of the child's standard output and error (one pipe)
};

// Starts `argv` (argv[0] the program's path) with the environment `env` ("NAME=value" each) in a
// process group of its own, signals at their defaults, standard input and output on pipes (error
// merged into output), and the descriptors of `hand_over` at the numbers it gave them; it inherits
// no other descriptor. Throws std::system_error (with the program's path) when the program cannot
// be started.
Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const HandOver& hand_over);

// True when the child has ended; reaps it and stores its wait status in `status` (0 when it was
// not our child any more). Never blocks.
bool process_ended(Pid pid, int* status = nullptr);

// Waits (without polling where the system can report a child's exit) until the child `pid`
// ended and reaps it. True when it ended (or is not our child any more), false when `seconds`
// passed first.
bool wait_process(Pid pid, double seconds, double interval = 0.05);

// Sends SIGKILL; a process that no longer exists is no error.
void kill_process(Pid pid);

// What tells a process apart from a later one with the same pid (where the system says).
struct ProcessStamp {
    uint64_t pid = 0;
    uint64_t start_time = 0;     // 0: unknown
    uint64_t pid_namespace = 0;  // 0: unknown
};
ProcessStamp stamp_of_this_process();
// True only when the stamped process certainly no longer runs; never for one of another pid
// namespace.
bool stamped_process_gone(const ProcessStamp& stamp);

// Whether a wait status is a normal exit with `code`.
bool exited_with(int status, int code);

}  // namespace tav::platform
