// Processes: the workers the server starts (forked, or spawned as a new program that is handed
// chosen handles and nothing else of ours), waiting for them with a time limit, killing and
// reaping them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/descriptors.hpp"

namespace tav::platform {

using Pid = int;

// A child process as its parent refers to it: its pid and, on Windows, the process handle that
// spawn opened, which it owns (the handle keeps the pid from naming another process until the
// Process goes). A pid alone designates a process too: Windows then opens it by its pid for each
// call.
struct Process {
    Pid pid = 0;
    OwnedHandle handle;
    Process() = default;
    Process(Pid p) : pid(p) {}  // NOLINT: a pid designates its process
    Process(Pid p, Handle h) : pid(p), handle(h) {}
};

Pid current_process();
// The process that started this one (a worker's host). On POSIX it changes when that process
// dies; Windows keeps the pid it recorded at the start (a spawned worker watches its input).
Pid parent_process();

// For a worker in a process of its own: a write to a stream whose reader is gone (a display
// connection, a pipe) fails instead of ending the process. Forked children start so already.
void ignore_broken_pipes();

// Runs `handler` in the child after every fork of this process (to make its locks anew).
void on_fork_child(void (*handler)());

// Forks a child that resets every signal to its default (ignoring SIGINT and SIGPIPE), closes
// every inherited descriptor except 0, 1, 2 and `keep_fds`, runs `body` (which must never touch
// Python) and ends with _exit(the status `body` returned; 1 when it threw). Returns the child's
// pid, or nothing when the fork failed. Where fork is not offered, always nothing.
std::optional<Pid> fork_child(const std::function<int()>& body, std::vector<Handle> keep_fds);

// The handles a spawned child is handed, named before the spawn; the spawn gives each the value
// by which the child reaches it, for the child's argument block. POSIX places them as the child's
// descriptors 3, 4, ... in this order; Windows duplicates them into the child once it exists.
struct HandOver {
    std::vector<Handle> handles;
    std::vector<uint64_t> values;  // filled by spawn, one per handle
    Pid child = 0;                 // filled by spawn (what a socket's Windows record is made for)

    // After the spawn: how the child reaches `h` (std::logic_error for one not handed over).
    uint64_t pass(Handle h) const {
        auto at = std::find(handles.begin(), handles.end(), h);
        if (at == handles.end() || values.size() != handles.size())
            throw std::logic_error("a handle the spawned child was not handed");
        return values[static_cast<size_t>(at - handles.begin())];
    }
};

// A spawned child as its parent holds it; the handles close when it goes.
struct Spawned {
    Process process;
    OwnedHandle input;   // our end of the child's standard input (a pipe)
    OwnedHandle output;  // our end of the child's standard output and error (one pipe)
};

// Starts `argv` (argv[0] the program's path) with the environment `env` ("NAME=value" each) in a
// process group of its own, signals at their defaults (Windows: no window), standard input and
// output on pipes (error merged into output), and hands it `hand_over`'s handles, filling in
// their values; it inherits nothing else. Throws std::system_error (with the program's path) when
// the program cannot be started.
Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              HandOver& hand_over);

// Hands `hand_over`'s handles to the running process whose handle is `process` (not taken over),
// filling in their values: on Windows duplicated into it (std::system_error when that fails).
// Elsewhere descriptors reach a child only at its spawn: std::logic_error.
void hand_over_to(Handle process, HandOver& hand_over);

// True when the child has ended; reaps it and stores its wait status in `status` (0 when it was
// not our child any more). Never blocks.
bool process_ended(const Process& child, int* status = nullptr);

// Waits (without polling where the system can report a child's exit) until the child ended and
// reaps it. True when it ended (or is not our child any more), false when `seconds` passed first.
bool wait_process(const Process& child, double seconds, double interval = 0.05);

// Ends it at once (SIGKILL; Windows: forced termination); one that no longer exists is no error.
void kill_process(const Process& child);

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

// Whether a wait status is a normal exit with `code` (Windows: the status is the exit code).
bool exited_with(int status, int code);

}  // namespace tav::platform
