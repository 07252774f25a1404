// The frame path: a frame request asks the host's getter for the frame's source (in host
// context) and copies the frame into the frame block, or wakes the screenshot worker.
#include <cstring>
#include <vector>

#include "host/host_values.hpp"
#include "net/commands.hpp"
#include "runtime/python.hpp"
#include "streaming/stream.hpp"

namespace tav::streaming {

namespace hv = host_values;

// Asks the host for the next frame's source through the dispatcher and waits for the answer: the
// source, or none once the session ended. In host context the getter runs at once (the dispatcher
// would otherwise wait on itself), so there is nothing to wait for: the host's main thread never
// waits for a frame.
std::optional<FrameSource> Stream::request_from_host(void (Stream::*getter)(FrameSource&)) {
    std::shared_ptr<FrameAnswers> answers = frame_answers_;
    if (!answers) return std::nullopt;
    if (py::HostContext::active()) {
        run_getter(*answers, getter);
        return answers->latest();
    }
    std::shared_ptr<FrameAnswers::Answer> answer = answers->await();
    host_.deliver_native([this, answers, getter] { run_getter(*answers, getter); });
    bool answered;
    {
        py::Unlocked unlocked;
        answered = answer->wait();
    }
    if (!answered) return std::nullopt;
    return answers->latest();
}

// In host context. The waiting frame requests are released even when the getter fails.
void Stream::run_getter(FrameAnswers& answers, void (Stream::*getter)(FrameSource&)) {
    struct Release {
        FrameAnswers& answers;
        ~Release() { answers.answer(); }
    } release{answers};
    if (is_capturing_) (this->*getter)(answers.latest());
}

// A request the app waits on that found a backlog, now due: served like any frame request, in
// host context. One that a stop overtook while it was queued for the host is dropped unanswered:
// the app stopped the stream behind it.
void Stream::serve_deferred_frame() {
    std::shared_ptr<FrameAnswers> session = frame_answers_;
    host_.deliver_native([this, session] {
        if (is_capturing_ && frame_answers_ == session) pass_frame_to_encoder(true);
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
    transition([&] { revive_workers(); });  // lets the GIL go: a stop may have come meanwhile
    if (!is_capturing_ || !config_.mode) return;
    switch (*config_.mode) {
        case CaptureMode::screenshot:
            return grab_screen();
        case CaptureMode::buffer_pointer:
            return copy_from_pointer();
        case CaptureMode::buffer:
            return copy_from_buffer();
    }
}

// A region that moved restarts the screenshot worker there before it grabs.
void Stream::grab_screen() {
    std::optional<FrameSource> got = request_from_host(&Stream::get_capture_coords);
    if (!is_capturing_ || !got || got->position.is_none()) return;
    if (got->position.not_equal(screenshot_position_)) {
        nb::tuple pos = nb::borrow<nb::tuple>(got->position);
        transition([&] { restart_screenshot(pos[0], pos[1], config_.width, config_.height); });
    }
    capture_screenshot();
}

// The host's buffer is read holding the GIL: the host may free it in its next getter, which runs
// only holding the GIL, and the copy into the block waits for the block's lock without it.
void Stream::copy_from_pointer() {
    std::optional<FrameSource> got = request_from_host(&Stream::get_capture_pointer);
    if (!is_capturing_ || !got || !got->pointer || *got->pointer == 0) return;
    thread_local std::vector<uint8_t> frame;
    frame.resize(frame_size_);
    std::memcpy(frame.data(), reinterpret_cast<const void*>(*got->pointer), frame.size());
    copy_frame(frame.data(), frame.size());
}

void Stream::copy_from_buffer() {
    std::optional<FrameSource> got = request_from_host(&Stream::get_capture_buffer);
    if (!is_capturing_ || !got || got->buffer.is_none()) return;
    Py_buffer view;
    if (PyObject_GetBuffer(got->buffer.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    struct ReleaseView {
        Py_buffer* v;
        ~ReleaseView() { PyBuffer_Release(v); }
    } keep{&view};
    // A buffer shorter than the frame is skipped: never read beyond what the host gave.
    if (view.len > 0) copy_frame(view.buf, static_cast<size_t>(view.len));
}

// The host getters, in host context, during a session.
nb::tuple Stream::capture_coords() {
    return hv::exactly(host_.call("get_capture_coords", cameras_.current), 2, "(x, y)");
}

void Stream::get_capture_coords(FrameSource& latest) { latest.position = capture_coords(); }

void Stream::get_capture_pointer(FrameSource& latest) {
    hv::Returned address = host_.call("get_capture_pointer", cameras_.current);
    latest.pointer = hv::checked(address, "an address (int)", [&] {
        unsigned long long a = PyLong_AsUnsignedLongLongMask(address.ptr());
        if (a == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
        return a;
    });
}

void Stream::get_capture_buffer(FrameSource& latest) {
    hv::Returned frame = host_.call("get_capture_buffer", cameras_.current);
    if (!frame.is_none() && !PyObject_CheckBuffer(frame.ptr()))
        hv::fail(frame, "a bytes-like object or None", PyExc_TypeError);
    latest.buffer = frame;
}

// One copy of the frame into the shared block, then the encoder is signalled. Frames of the wrong
// size (shorter than the block) are dropped. The copy waits for the block's lock without the GIL,
// while an encoder restart on the owner may replace the block, its size, lock and event: it keeps
// those of one start, and that block is closed under that lock when the encoder stops.
void Stream::copy_frame(const void* source, size_t available) {
    FrameBlock block = block_;
    if (!is_encoding_ || !block.shm || !block.lock || !block.ready ||
        available < block.shm->size() || source == nullptr)
        return;
    py::Unlocked unlocked;
    {
        ipc::Held held(*block.lock);
        if (!block.shm->is_open()) return;
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
