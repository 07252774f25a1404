// The frame path: a frame request asks the host's getter for the frame's source (in host
// context) and copies the frame into the frame block, or wakes the screenshot worker.
#include <cstring>

#include "host/host_values.hpp"
#include "net/commands.hpp"
#include "runtime/python.hpp"
#include "streaming/stream.hpp"

namespace tav::streaming {

namespace hv = host_values;

// Asks the host for the next frame's source through the dispatcher and waits for the answer. In
// host context the getter runs at once (the dispatcher would otherwise wait on itself), so there
// is nothing to wait for: the host's main thread never waits for a frame.
void Stream::request_from_host(void (Stream::*getter)()) {
    std::shared_ptr<FrameAnswers> answers = frame_answers_.load();
    if (!answers) return;
    if (py::HostContext::active()) {
        (this->*getter)();
        return;
    }
    std::shared_ptr<OneShot> answered = answers->await();
    host_.deliver_native([this, getter] { (this->*getter)(); });
    py::Unlocked unlocked;
    answered->wait();
}

// A request the app waits on that found a backlog, now due: served like any frame request, in
// host context. One that a stop overtook while it was queued for the host is dropped unanswered:
// the app stopped the stream behind it.
void Stream::serve_deferred_frame() {
    std::shared_ptr<FrameAnswers> session = frame_answers_.load();
    host_.deliver_native([this, session] {
        if (is_capturing_ && frame_answers_.load() == session) pass_frame_to_encoder(true);
    });
}

void Stream::pass_frame_to_encoder(bool app_waits) {
    if (!is_capturing_) {
        if (!is_autosend_) link_.send_code(ERR_NOT_STREAMING);
        return;
    }
    // While the app has not yet received most of what was sent, no frame is made: it is skipped
    // here, before the host renders it, never dropped once encoded, so the decoder never misses
    // a frame it depends on. Autosend keeps its pace and skips the tick; a request the app waits
    // on is deferred until the backlog drains (a stop drops it).
    if (!link_.admit_frame(app_waits)) return;
    revive_workers();  // may let the GIL go: a stop may have come meanwhile
    if (!is_capturing_ || !config_.mode) return;
    switch (*config_.mode) {
        case CaptureMode::screenshot:
            request_from_host(&Stream::get_capture_coords);
            if (!is_capturing_ || capture_position_.is_none()) return;
            if (capture_position_.not_equal(screenshot_position_)) {
                screenshot_position_ = capture_position_;
                nb::tuple pos = nb::borrow<nb::tuple>(screenshot_position_);
                restart_screenshot(pos[0], pos[1], config_.width, config_.height);
            }
            capture_screenshot();
            break;
        case CaptureMode::buffer_pointer:
            request_from_host(&Stream::get_capture_pointer);
            if (!is_capturing_ || !capture_pointer_) return;
            copy_frame(reinterpret_cast<const void*>(*capture_pointer_), frame_size_);
            break;
        case CaptureMode::buffer: {
            request_from_host(&Stream::get_capture_buffer);
            if (!is_capturing_ || capture_buffer_.is_none()) return;
            Py_buffer view;
            if (PyObject_GetBuffer(capture_buffer_.ptr(), &view, PyBUF_SIMPLE) != 0)
                throw nb::python_error();
            struct ReleaseView {
                Py_buffer* v;
                ~ReleaseView() { PyBuffer_Release(v); }
            } keep{&view};
            // A buffer shorter than the frame is skipped: never read beyond what the host gave.
            if (view.len > 0) copy_frame(view.buf, static_cast<size_t>(view.len));
            break;
        }
    }
}

// The host getters, in host context. Each releases the waiting frame request, even on failure.
namespace {
struct ReleaseRequest {
    const AtomicShared<FrameAnswers>& answers;
    ~ReleaseRequest() {
        if (auto a = answers.load()) a->answer();
    }
};
}  // namespace

nb::tuple Stream::capture_coords() {
    return hv::exactly(host_.call("get_capture_coords", cameras_.current), 2, "(x, y)");
}

void Stream::get_capture_coords() {
    ReleaseRequest release{frame_answers_};
    if (is_capturing_) capture_position_ = capture_coords();
}

void Stream::get_capture_pointer() {
    ReleaseRequest release{frame_answers_};
    if (!is_capturing_) return;
    hv::Returned address = host_.call("get_capture_pointer", cameras_.current);
    unsigned long long v = hv::checked(address, "an address (int)", [&] {
        unsigned long long a = PyLong_AsUnsignedLongLongMask(address.ptr());
        if (a == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
        return a;
    });
    capture_pointer_ = v;
}

void Stream::get_capture_buffer() {
    ReleaseRequest release{frame_answers_};
    if (!is_capturing_) return;
    hv::Returned frame = host_.call("get_capture_buffer", cameras_.current);
    if (!frame.is_none() && !PyObject_CheckBuffer(frame.ptr()))
        hv::fail(frame, "a bytes-like object or None", PyExc_TypeError);
    capture_buffer_ = frame;
}

// One copy of the frame into the shared block, then the encoder is signalled. Frames of the wrong
// size (shorter than the block) are dropped. The copy waits for the block's lock without the GIL,
// while an encoder restart on another thread may replace the block, its size, lock and event: it
// keeps those of one start, and that block is closed under that lock when the encoder stops.
void Stream::copy_frame(const void* source, size_t available) {
    FrameBlock block = block_;
    if (!block.shm || !block.lock || !block.ready || available < block.shm->size() ||
        source == nullptr)
        return;
    py::Unlocked unlocked;
    {
        ipc::Held held(*block.lock);
        if (!is_encoding_ || !block.shm->is_open()) return;
        std::memcpy(block.shm->data(), source, block.shm->size());
    }
    block.ready->set();
}

void Stream::encode_frame(uint64_t address) {
    copy_frame(reinterpret_cast<const void*>(address), frame_size_);
}

void Stream::capture_screenshot() {
    if (!is_screenshooting_) return;
    std::shared_ptr<ipc::Event> wake = screenshooter_.wake();
    py::Unlocked unlocked;  // the event's guard is shared with the worker
    wake->set();
}

}  // namespace tav::streaming
