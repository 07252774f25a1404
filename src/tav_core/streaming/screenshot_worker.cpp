#include "streaming/screenshot_worker.hpp"

#include <cstdio>
#include <stdexcept>

#include "ipc/shm.hpp"
#include "platform/process.hpp"
#include "streaming/pixel_formats.hpp"
#include "streaming/worker_life.hpp"

namespace tav::streaming {

namespace {

// The worker's hold on the frame block, given up under the frame lock however the run ends.
struct Attachment {
    const ScreenshotArgs& args;
    const ParentWatch& parent;
    ipc::Shm block;

    ~Attachment() { release(); }
    void release() {
        if (!block.is_open()) return;
        LockScope held(*args.shm_lock, parent);
        block.close();
    }
};

// Requests do not queue: those made while a grab runs collapse into the next one.
void serve_requests(const ScreenshotArgs& a, const ParentWatch& parent, ScreenGrab& grabber,
                    const ipc::Shm& block) {
    while (wait_for_wake(*a.new_screenshot_event, parent)) {
        a.new_screenshot_event->clear();
        if (!a.keep_screenshot_event->is_set()) return;
        if (!grabber.grab()) continue;  // refused by the server: this frame is skipped
        {
            LockScope held(*a.shm_lock, parent);
            if (!held) return;
            grabber.write(block.data());
        }
        a.new_frame_event->set();
    }
}

void report(const char* what) {
    std::fprintf(stderr, "Screenshot worker failed: %s\n", what);
    std::fflush(stderr);
}

}  // namespace

size_t region_frame_size(const Region& r) {
    return static_cast<size_t>(r.width) * static_cast<size_t>(r.height) *
           static_cast<size_t>(kScreenshotFormat.bytes_per_pixel);
}

int run_screenshot(const ScreenshotArgs& a) {
    const ParentWatch parent(a.parent_pid);
    try {
        ScreenGrab grabber(a.region);  // made once; released after the block is detached
        Attachment att{a, parent, {}};
        {
            LockScope held(*a.shm_lock, parent);
            if (!held) return 0;
            std::optional<ipc::Shm> block = attach_block(a.shm_name, a.shm_size, parent);
            if (!block) return 0;
            att.block = std::move(*block);
        }
        serve_requests(a, parent, grabber, att.block);
        return 0;
    } catch (const DisplayUnavailable& e) {
        report(e.what());
        return kExitNoDisplay;
    } catch (const std::exception& e) {
        report(e.what());
        return 1;
    }
}

}  // namespace tav::streaming
