// The screenshot worker: grabs a screen region into the frame block for every request.
//
// The run takes its arguments as C++ values and never touches Python, so it can run in a forked
// child, on a thread without the GIL, or in a program without an interpreter. The module's entry
// `_sp` decodes the argument tuple into them (worker_record.hpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "platform/process.hpp"
#include "platform/screen_grab.hpp"

namespace tav::streaming {

using platform::DisplayUnavailable;
using platform::Region;
using platform::ScreenGrab;

// The 9 values of the screenshot argument tuple, in C++.
struct ScreenshotArgs {
    Region region;         // values 0-3: x, y, width, height
    std::string shm_name;  // value 4: the encoder's frame block (name, size)
    size_t shm_size = 0;
    std::shared_ptr<ipc::Lock> shm_lock;  // values 5-8, opened from their share descriptions
    std::shared_ptr<ipc::Event> new_frame_event;
    std::shared_ptr<ipc::Event> keep_screenshot_event;
    std::shared_ptr<ipc::Event> new_screenshot_event;
    platform::Pid parent_pid = 0;  // the starting process: a worker of its own ends when it dies
};

// Exit status of a forked worker that found no display to grab from.
inline constexpr int kExitNoDisplay = 69;

// The bytes of a grab of `region`; the frame block must hold at least that many.
size_t region_frame_size(const Region& region);

// Runs the worker until its keep event is found clear, no request came for the idle lifespan, or
// the parent died; one grab and one copy per request. Without the GIL; reports a failure of its
// own on stderr. Returns the exit status for a forked worker: 0, kExitNoDisplay, or 1 for any
// other failure.
int run_screenshot(const ScreenshotArgs& args);

}  // namespace tav::streaming
