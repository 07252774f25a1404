// The parts of the POSIX process facility that differ between systems; only posix/process.cpp
// uses them (Windows has a process.cpp of its own).
#pragma once

#include <spawn.h>

#include <vector>

#include "platform/process.hpp"

namespace tav::platform::detail {

// In a forked child: closes every descriptor from 3 up except those in `keep`.
void close_descriptors_except(std::vector<int> keep);

// Makes a spawn close, in the child, every descriptor from `from` up that the file actions did
// not place (adding to `actions`, or to `flags` for `attr`).
void close_rest_on_spawn(posix_spawn_file_actions_t* actions, short* flags, int from);

// Blocks until the child `pid` may have ended, or for at most `seconds`.
class ExitWatch {
  public:
    explicit ExitWatch(Pid pid);
    ~ExitWatch();
    ExitWatch(const ExitWatch&) = delete;
    ExitWatch& operator=(const ExitWatch&) = delete;
    void wait(double seconds, double interval);

  private:
    int handle_ = -1;  // what the system waits on, where it offers one
};

}  // namespace tav::platform::detail
