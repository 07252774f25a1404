// The streaming session: start, stop, and the frame path from the host into the frame block.
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/python.hpp"
#include "core/server.hpp"
#include "protocol/host_values.hpp"
#include "protocol/wire.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/process.hpp"
#include "streaming/screenshot_worker.hpp"
#include "streaming/vp9_encoder.hpp"

namespace tav {

namespace hv = host_values;

namespace {

constexpr const char* kExpectedCoords = "(x, y)";

// A rate the app gave that is not a positive finite number falls back to these; any other is
// clamped into the range the encoder is built for.
constexpr double kFallbackFps = 30.0;
constexpr double kFallbackMbps = 2.0;

double rate(double value, double fallback, double low, double high) {
    return std::isfinite(value) && value > 0 ? std::clamp(value, low, high) : fallback;
}

}  // namespace

void TavServer::start_streaming(nb::handle data) {
    auto& s = streaming_;
    // Whatever happens, the network thread waiting for this start is released.
    struct Release {
        streaming::SessionState& s;
        ~Release() {
            s.start_running = false;
            if (auto started = s.start_streaming_event.load()) started->set();
        }
    } release{s};
    s.start_running = true;  // before the test of is_stopping_, which a server stop sets first

    auto p = hv::payload(data);
    // A start that runs after its app left (a queue drained late) starts nothing; nor does one
    // while the server stops, whose stop would tear the new session down under it.
    if (!p || s.is_capturing || !is_serving_ || !is_connected_ || is_stopping_) return;
    if (!check_current_camera()) return;
    wire::Reader r(*p);
    const double fps =
        rate(r.f32(), kFallbackFps, streaming::kMinFramerate, streaming::kMaxFramerate);
    const double mbps =
        rate(r.f32(), kFallbackMbps, streaming::kMinBitrate, streaming::kMaxBitrate);
    r.u16();  // not used
    const bool opaque = r.u8() != 0, autosend = r.u8() != 0;
    s.is_autosend = autosend;
    char line[160];
    std::snprintf(line, sizeof line,
                  "Starting Viewport Capture. %.2f fps, %.2f Mbits/s, Opaque: %d, Autosend: %d",
                  fps, mbps, opaque ? 1 : 0, autosend ? 1 : 0);
    py::log(line);

    host("capture_will_start");
    if (s.capture_mode.is_none())
        throw nb::value_error(
            "Invalid capture_mode, set_capture_mode() must be called before starting capturing");
    if (s.capture_width.is_none() || s.capture_height.is_none())
        throw nb::value_error(
            "Invalid capture resolution, set_capture_resolution() must be called before starting "
            "capturing");
    s.is_capturing = true;
    s.no_display_reported = false;
    s.encoder_failure_sent = false;

    const bool screenshot = s.capture_mode.equal(nb::int_(CAPMODE_SCREENSHOT));
    if (!opaque && (screenshot || s.capture_format.equal(nb::int_(CAPFORMAT_UBYTE_RGB)) ||
                    s.capture_format.equal(nb::int_(CAPFORMAT_UBYTE_BGR))))
        send_code(ERR_NO_ALPHA);  // the stream goes on, without alpha as always
    const bool flip = screenshot ? false : s.use_vflip;
    host("look_through_camera", current_camera_);
    s.enc_fps = fps;
    s.enc_bitrate = mbps;
    s.enc_vflip = flip;
    start_encoding(s.capture_width, s.capture_height, s.pixel_format, nb::float_(fps),
                   nb::float_(mbps), nb::bool_(flip));
    if (screenshot) {
        nb::tuple pos =
            hv::exactly(host("get_capture_coords", current_camera_), 2, kExpectedCoords);
        s.scrsht_pos = pos;
        start_screenshot(pos[0], pos[1], s.capture_width, s.capture_height);
    }
    s.image_capture_answers = std::make_shared<streaming::FrameAnswers>();
    if (s.is_autosend) start_autosend(fps);
}

void TavServer::stop_streaming() {
    auto& s = streaming_;
    if (!s.is_capturing) return;
    s.is_capturing = false;
    // Under the same hold of the GIL as the flag: no frame request can be deferred after this.
    if (std::shared_ptr<net::Connection> c = connection()) c->drop_deferred_frame();
    // A frame request waiting for a host getter need not hold the stop up: release it first.
    if (auto answers = s.image_capture_answers.load()) answers->close();
    stop_autosend();
    if (s.capture_mode.equal(nb::int_(CAPMODE_SCREENSHOT))) stop_screenshot();
    stop_encoding();
    s.capture_mode = nb::none();
    s.capture_format = nb::none();
    s.capture_width = nb::none();
    s.capture_height = nb::none();
    s.use_vflip = false;
    deliver_host("capture_did_end");
    async_log("Viewport Capture Stopped");
}

// Asks the host for the next frame's source through the dispatcher and waits for the answer. In
// host context the getter runs at once (the dispatcher would otherwise wait on itself), so there
// is nothing to wait for: the host's main thread never waits for a frame.
void TavServer::request_from_host(const char* getter) {
    std::shared_ptr<streaming::FrameAnswers> answers = streaming_.image_capture_answers.load();
    if (!answers) return;
    if (py::HostContext::active()) {
        deliver(getter, nb::make_tuple());
        return;
    }
    std::shared_ptr<OneShot> answered = answers->await();
    deliver(getter, nb::make_tuple());
    py::Unlocked unlocked;
    answered->wait();
}

void TavServer::send_viewport_img() { send_frame(true); }

// A request the app waits on that found a backlog, now due: served like any frame request, in
// host context. One that a stop overtook while it was queued for the host is dropped unanswered:
// the app stopped the stream behind it.
void TavServer::serve_deferred_frame() {
    std::shared_ptr<streaming::FrameAnswers> session = streaming_.image_capture_answers.load();
    nb::object serve = nb::cpp_function([this, keep = self(), session] {
        if (streaming_.is_capturing && streaming_.image_capture_answers.load() == session)
            send_frame(true);
    });
    async_callback(serve, nb::borrow<nb::args>(nb::make_tuple()));
}

void TavServer::send_frame(bool app_waits) {
    auto& s = streaming_;
    if (!s.is_capturing) {
        if (!s.is_autosend) send_code(ERR_NOT_STREAMING);
        return;
    }
    // While the app has not yet received most of what was sent, no frame is made: it is skipped
    // here, before the host renders it, never dropped once encoded, so the decoder never misses
    // a frame it depends on. Autosend keeps its pace and skips the tick; a request the app waits
    // on is deferred until the backlog drains (a stop drops it).
    if (!admit_frame(app_waits)) return;
    revive_workers();
    if (s.capture_mode.equal(nb::int_(CAPMODE_SCREENSHOT))) {
        request_from_host("_async_get_capture_coords");
        if (!s.is_capturing || s.async_capture_position.is_none()) return;
        if (s.async_capture_position.not_equal(s.scrsht_pos)) {
            s.scrsht_pos = s.async_capture_position;
            nb::tuple pos = nb::borrow<nb::tuple>(s.scrsht_pos);
            restart_screenshot(pos[0], pos[1], s.capture_width, s.capture_height);
        }
        capture_screenshot();
    } else if (s.capture_mode.equal(nb::int_(CAPMODE_BUFFER_POINTER))) {
        request_from_host("_async_get_capture_pointer");
        if (!s.is_capturing || !s.has_capture_pointer) return;
        copy_frame(reinterpret_cast<const void*>(s.async_capture_pointer), s.buff_size);
    } else {
        request_from_host("_async_get_capture_buffer");
        if (!s.is_capturing || s.async_capture_buffer.is_none()) return;
        Py_buffer view;
        if (PyObject_GetBuffer(s.async_capture_buffer.ptr(), &view, PyBUF_SIMPLE) != 0)
            throw nb::python_error();
        struct ReleaseView {
            Py_buffer* v;
            ~ReleaseView() { PyBuffer_Release(v); }
        } keep{&view};
        // A buffer shorter than the frame is skipped: never read beyond what the host gave.
        if (view.len > 0) copy_frame(view.buf, static_cast<size_t>(view.len));
    }
}

// The host getters, in host context. Each releases the waiting frame request, even on failure.
namespace {
struct ReleaseRequest {
    streaming::SessionState& s;
    ~ReleaseRequest() {
        if (auto answers = s.image_capture_answers.load()) answers->answer();
    }
};
}  // namespace

void TavServer::async_get_capture_coords() {
    ReleaseRequest release{streaming_};
    if (streaming_.is_capturing)
        streaming_.async_capture_position =
            hv::exactly(host("get_capture_coords", current_camera_), 2, kExpectedCoords);
}

void TavServer::async_get_capture_pointer() {
    ReleaseRequest release{streaming_};
    if (!streaming_.is_capturing) return;
    hv::Returned address = host("get_capture_pointer", current_camera_);
    unsigned long long v = hv::checked(address, "an address (int)", [&] {
        unsigned long long a = PyLong_AsUnsignedLongLongMask(address.ptr());
        if (a == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
        return a;
    });
    streaming_.async_capture_pointer = v;
    streaming_.has_capture_pointer = true;
}

void TavServer::async_get_capture_buffer() {
    ReleaseRequest release{streaming_};
    if (!streaming_.is_capturing) return;
    hv::Returned frame = host("get_capture_buffer", current_camera_);
    if (!frame.is_none() && !PyObject_CheckBuffer(frame.ptr()))
        hv::fail(frame, "a bytes-like object or None", PyExc_TypeError);
    streaming_.async_capture_buffer = frame;
}

// One copy of the frame into the shared block, then the encoder is signalled. Frames of the wrong
// size (shorter than the block) are dropped. The copy waits for the block's lock without the GIL,
// while an encoder restart on another thread may replace the block, its size, lock and event: it
// keeps those of one start, and that block is closed under that lock when the encoder stops.
void TavServer::copy_frame(const void* source, size_t available) {
    auto& s = streaming_;
    std::shared_ptr<ipc::Shm> block = s.shared_buffer;
    std::shared_ptr<ipc::Lock> lock = s.shm_lock;
    std::shared_ptr<ipc::Event> ready = s.new_frame_event;
    if (!block || !lock || !ready || available < block->size() || source == nullptr) return;
    py::Unlocked unlocked;
    {
        ipc::Held held(*lock);
        if (!s.is_encoding || !block->is_open()) return;
        std::memcpy(block->data(), source, block->size());
    }
    ready->set();
}

void TavServer::encode_frame(uint64_t address) {
    copy_frame(reinterpret_cast<const void*>(address), streaming_.buff_size);
}

void TavServer::capture_screenshot() {
    if (!streaming_.is_screenshooting) return;
    std::shared_ptr<ipc::Event> wake = streaming_.new_scrsht_event;
    py::Unlocked unlocked;  // the event's guard is shared with the worker
    wake->set();
}

void TavServer::restart_encoding(nb::object width, nb::object height) {
    auto& s = streaming_;
    if (!s.is_capturing) return;
    stop_encoding();
    start_encoding(width, height, s.pixel_format, nb::float_(s.enc_fps), nb::float_(s.enc_bitrate),
                   nb::bool_(s.enc_vflip));
}

void TavServer::restart_screenshot(nb::object x, nb::object y, nb::object width,
                                   nb::object height) {
    if (!streaming_.is_capturing) return;
    stop_screenshot();
    start_screenshot(x, y, width, height);
}

// The screenshot worker writes into the frame block that the encoder restart replaces: it is
// stopped first and started last, at the region it had.
void TavServer::restart_workers(nb::object width, nb::object height) {
    auto& s = streaming_;
    const bool screenshooting = s.is_screenshooting;
    if (screenshooting) stop_screenshot();
    restart_encoding(width, height);
    if (screenshooting) {
        nb::tuple pos = nb::borrow<nb::tuple>(s.scrsht_pos);
        start_screenshot(pos[0], pos[1], width, height);
    }
}

// A worker that ended on its own (idle lifespan, crash, kill) is replaced before the next frame, so
// video resumes after any pause. A worker that dies at once is not restarted more than once a
// second, and an encoder worker that could not build its encoder is not restarted at all. A
// screenshot worker that found no display is not replaced (a display does not appear a second
// later): the host hears of it once a session, and a move, a size change or an encoder restart
// tries again.
void TavServer::revive_workers() {
    auto& s = streaming_;
    const auto now = std::chrono::steady_clock::now();
    int status = 0;
    auto ended = [&](streaming::Worker& w) {
        if (!w.pid || now - w.started < std::chrono::seconds(1)) return false;
        if (!streaming::process_ended(*w.pid, &status)) return false;
        reclaim_locks_of(*w.pid);
        w.pid.reset();
        return true;
    };
    const bool screenshooting = s.is_screenshooting;
    if (s.is_encoding && ended(s.encoding_process)) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == streaming::kExitEncoderFailed)
            encoder_failed();
        else
            restart_workers(s.capture_width, s.capture_height);
    } else if (screenshooting && ended(s.screenshot_process)) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == streaming::kExitNoDisplay) {
            if (!s.no_display_reported)
                async_log("Screenshot capture failed: the display could not be opened");
            s.no_display_reported = true;
            return;
        }
        nb::tuple pos = nb::borrow<nb::tuple>(s.scrsht_pos);
        restart_screenshot(pos[0], pos[1], s.capture_width, s.capture_height);
    }
}

}  // namespace tav
