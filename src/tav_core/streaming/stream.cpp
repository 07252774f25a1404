// The streaming session: the capture configuration, start and stop, and keeping the workers alive.
#include "streaming/stream.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "host/host_values.hpp"
#include "net/commands.hpp"
#include "runtime/format.hpp"
#include "runtime/python.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/screenshot_worker.hpp"

namespace tav::streaming {

namespace hv = host_values;

namespace {

// A rate the app gave that is not a positive finite number falls back to these; any other is
// clamped into the range the encoder is built for.
constexpr double kFallbackFps = 30.0;
constexpr double kFallbackMbps = 2.0;

double rate(double value, double fallback, double low, double high) {
    return std::isfinite(value) && value > 0 ? std::clamp(value, low, high) : fallback;
}

}  // namespace

Stream::Stream(HostBridge& host, net::ClientLink& link, const ServingState& state, Cameras& cameras)
    : host_(host),
      link_(link),
      state_(state),
      cameras_(cameras),
      screenshot_position_(nb::make_tuple(0, 0)) {}

void Stream::transition(const std::function<void()>& message) {
    if (owner_.is_current()) {
        message();
        return;
    }
    std::vector<std::string> lines;
    std::exception_ptr error;
    try {
        owner_.run([&] {
            struct Take {
                Stream& stream;
                std::vector<std::string>& lines;
                ~Take() { lines.swap(stream.deferred_logs_); }
            } take{*this, lines};
            message();
        });
    } catch (...) {
        error = std::current_exception();
    }
    for (const std::string& line : lines) {
        try {
            host_.async_log(line);
        } catch (...) {
            py::report_current_exception("tavrel");
        }
    }
    if (error) std::rethrow_exception(error);
}

void Stream::log_later(std::string line) { deferred_logs_.push_back(std::move(line)); }

void Stream::set_capture_mode(nb::object capture_mode, nb::object capture_format) {
    if (is_capturing_)
        throw std::runtime_error("Can't set capture mode while capturing the viewport");
    config_.set_mode(std::move(capture_mode), std::move(capture_format));
}

void Stream::set_capture_resolution(nb::object width, nb::object height) {
    // Outside a session (a host may set its size at every redraw) nothing waits for the owner.
    if (is_capturing_ && (width.not_equal(config_.width) || height.not_equal(config_.height)))
        transition([&] { restart_workers(width, height); });
    config_.width = std::move(width);
    config_.height = std::move(height);
}

std::shared_ptr<OneShot> Stream::announce_start() {
    auto started = std::make_shared<OneShot>();
    start_event_ = started;
    return started;
}

void Stream::await_running_start(double seconds) {
    if (start_running_)
        if (auto started = start_event_.load()) started->wait_for(seconds);
}

void Stream::release_start_waiter() {
    if (auto started = start_event_.load()) started->set();
}

void Stream::start(const std::optional<StartRequest>& request) {
    // Whatever happens, the network thread waiting for this start is released.
    struct Release {
        Stream& s;
        ~Release() {
            s.start_running_ = false;
            s.release_start_waiter();
        }
    } release{*this};
    start_running_ = true;  // before the test of is_stopping, which a server stop sets first

    // A start that runs after its app left (a queue drained late) starts nothing; nor does one
    // while the server stops, whose stop would tear the new session down under it.
    if (!request || is_capturing_ || !state_.is_serving || !state_.is_connected ||
        state_.is_stopping)
        return;
    if (!cameras_.check(host_, link_)) return;
    const double fps = rate(request->fps, kFallbackFps, kMinFramerate, kMaxFramerate);
    const double mbps = rate(request->mbps, kFallbackMbps, kMinBitrate, kMaxBitrate);
    const bool opaque = request->opaque, autosend = request->autosend;
    is_autosend_ = autosend;
    py::log(format("Starting Viewport Capture. %.2f fps, %.2f Mbits/s, Opaque: %d, Autosend: %d",
                   fps, mbps, opaque ? 1 : 0, autosend ? 1 : 0));

    host_.call("capture_will_start");
    if (!config_.mode)
        throw nb::value_error(
            "Invalid capture_mode, set_capture_mode() must be called before starting capturing");
    if (config_.width.is_none() || config_.height.is_none())
        throw nb::value_error(
            "Invalid capture resolution, set_capture_resolution() must be called before starting "
            "capturing");
    is_capturing_ = true;
    start_session(fps, mbps, opaque);
}

// The session passed its checks: the host looks through the camera and the owner starts the
// workers.
void Stream::start_session(double fps, double mbps, bool opaque) {
    const bool screenshot = config_.mode == CaptureMode::screenshot;
    if (!opaque && !config_.has_alpha())
        link_.send_code(ERR_NO_ALPHA);  // the stream goes on, without alpha as always
    const bool flip = screenshot ? false : config_.vflip;
    host_.call("look_through_camera", cameras_.current);
    // The host is called here, between the owner's messages. A stop that came meanwhile has ended
    // the session: nothing more is started.
    transition([&] {
        fps_ = fps;
        mbps_ = mbps;
        flip_ = flip;
        no_display_reported_ = encoder_failure_sent_ = launch_failure_reported_ = false;
        restart_encoding(config_.width, config_.height);
    });
    if (screenshot) {
        nb::tuple pos = capture_coords();
        transition([&] {
            if (is_capturing_) launch_screenshooter(pos[0], pos[1], config_.width, config_.height);
        });
    }
    frame_answers_ = std::make_shared<FrameAnswers>();
    if (is_autosend_) start_autosend(fps);
}

void Stream::stop() {
    if (!is_capturing_) return;
    is_capturing_ = false;
    // Under the same hold of the GIL as the flag: no frame request can be deferred after this.
    if (std::shared_ptr<net::Connection> c = link_.connection()) c->drop_deferred_frame();
    // A frame request waiting for a host getter need not hold the stop up: release it first.
    if (auto answers = frame_answers_) answers->close();
    stop_autosend();
    transition([&] {
        if (config_.mode == CaptureMode::screenshot) end_screenshooter();
        end_encoder();
    });
    // The pixel format stays as the host set it; the rest is set again for the next session.
    config_.mode.reset();
    config_.given_mode = config_.given_format = config_.width = config_.height = nb::none();
    config_.vflip = false;
    host_.deliver_host("capture_did_end");
    host_.async_log("Viewport Capture Stopped");
}

void Stream::start_encoding(long width, long height, std::string_view input_format, double fps,
                            double mbps, bool flip) {
    transition([&] { launch_encoder(width, height, input_format, fps, mbps, flip); });
}

void Stream::stop_encoding() {
    transition([&] { end_encoder(); });
}

void Stream::start_screenshot(nb::object x, nb::object y, nb::object width, nb::object height) {
    transition([&] { launch_screenshooter(x, y, width, height); });
}

void Stream::stop_screenshot() {
    transition([&] { end_screenshooter(); });
}

void Stream::restart_encoding(nb::object width, nb::object height) {
    if (!is_capturing_) return;
    end_encoder();
    launch_encoder(capture_side(width), capture_side(height), config_.pixels->name, fps_, mbps_,
                   flip_);
}

void Stream::restart_screenshot(nb::object x, nb::object y, nb::object width, nb::object height) {
    if (!is_capturing_) return;
    end_screenshooter();
    launch_screenshooter(x, y, width, height);
}

// The screenshot worker writes into the frame block that the encoder restart replaces: it is
// stopped first and started last, at the region it had.
void Stream::restart_workers(nb::object width, nb::object height) {
    if (!is_capturing_) return;
    const bool screenshooting = is_screenshooting_;
    if (screenshooting) end_screenshooter();
    restart_encoding(width, height);
    if (screenshooting) {
        nb::tuple pos = nb::borrow<nb::tuple>(screenshot_position_);
        launch_screenshooter(pos[0], pos[1], width, height);
    }
}

// A worker that ended on its own (idle lifespan, crash, kill) is replaced before the next frame, so
// video resumes after any pause. A worker that dies at once is not restarted more than once a
// second, and an encoder worker that could not build its encoder is not restarted at all. A
// screenshot worker that found no display is not replaced (a display does not appear a second
// later): the host hears of it once a session, and a move, a size change or an encoder restart
// tries again.
void Stream::revive_workers() {
    auto reclaim = [this](Pid pid) { reclaim_locks_of(pid); };
    const bool screenshooting = is_screenshooting_;
    std::optional<WorkerProcess::End> end;
    if (is_encoding_ && (end = encoder_.ended_on_its_own(reclaim))) {
        worker_ended(*end);
        if (!end->started || platform::exited_with(end->status, kExitEncoderFailed))
            encoder_failed();
        else
            restart_workers(config_.width, config_.height);
    } else if (screenshooting && (end = screenshooter_.ended_on_its_own(reclaim))) {
        worker_ended(*end);
        if (!end->started) return;  // reported; a new start tries again
        if (platform::exited_with(end->status, kExitNoDisplay)) {
            if (!no_display_reported_)
                log_later("Screenshot capture failed: the display could not be opened");
            no_display_reported_ = true;
            return;
        }
        nb::tuple pos = nb::borrow<nb::tuple>(screenshot_position_);
        restart_screenshot(pos[0], pos[1], config_.width, config_.height);
    }
}

}  // namespace tav::streaming
