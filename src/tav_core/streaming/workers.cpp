// Starting, stopping and reaping the encoder and screenshot workers.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/package.hpp"
#include "core/python.hpp"
#include "core/server.hpp"
#include "ipc/owned_blocks.hpp"
#include "ipc/python_faces.hpp"
#include "protocol/host_values.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/pixel_formats.hpp"
#include "streaming/process.hpp"
#include "streaming/screenshot_worker.hpp"

namespace tav {

namespace hv = host_values;

namespace {

using ipc::event_share;
using ipc::lock_share;

// A block's name as its users attach it: without the platform's leading "/".
std::string shm_share_name(const ipc::Shm& shm) {
    const std::string& name = shm.name();
    return !name.empty() && name[0] == '/' ? name.substr(1) : name;
}

nb::object module_function(const char* name) {
    return nb::module_::import_(package_module("tav_core").c_str()).attr(name);
}

}  // namespace

void TavServer::start_encoding(nb::object width, nb::object height, nb::object input_format,
                               nb::object framerate, nb::object bitrate, nb::object vflip) {
    auto& s = streaming_;
    if (s.is_encoding) return;
    const int bpp = streaming::bytes_per_pixel(
        PyUnicode_Check(input_format.ptr()) ? nb::cast<std::string>(input_format) : std::string());
    nb::tuple out = clamp_resolution(width, height);
    const long w = nb::cast<long>(width), h = nb::cast<long>(height);
    if (w <= 0 || h <= 0 || hv::to_double(out[0]) < 1 || hv::to_double(out[1]) < 1)
        throw nb::value_error("Invalid capture resolution");
    streaming::check_rates(hv::to_double(framerate), hv::to_double(bitrate));
    s.buff_size = static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(bpp);
    // The lock and events first: from the block's creation on, the stop releases everything.
    s.shm_lock = std::make_shared<ipc::Lock>();
    s.new_frame_event = std::make_shared<ipc::Event>();
    s.keep_encoding_event = std::make_shared<ipc::Event>();
    s.keep_encoding_event->set();
    s.shared_buffer = std::make_shared<ipc::Shm>(ipc::create_owned(s.buff_size));
    s.is_encoding = true;
    s.encoding_process.started = std::chrono::steady_clock::now();

    try {
        // The worker writes its packets into a channel of its own; the app connection puts them
        // on the wire. Without a connection the channel leads nowhere and the worker's first send
        // ends it.
        net::Socket channel;
        if (std::shared_ptr<net::Connection> c = connection()) {
            channel = c->open_video_channel(hv::to_double(bitrate) * 1e6, hv::to_double(framerate));
        } else {
            int ends[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
                throw std::system_error(errno, std::generic_category(), "packet channel");
            ::close(ends[0]);
            channel = net::Socket(ends[1]);
        }
        const int fd = channel.fd();
        nb::tuple args =
            nb::make_tuple(width, height, input_format, out[0], out[1], "yuv420p", framerate,
                           bitrate, nb::bool_(hv::truthy(vflip)), nb::bytes("\x04", 1),
                           nb::make_tuple(shm_share_name(*s.shared_buffer), s.buff_size), fd,
                           lock_share(*socket_lock_), lock_share(*s.shm_lock),
                           event_share(*s.new_frame_event), event_share(*s.keep_encoding_event));
        s.encoding_process.pid = start_fork(module_function("_ep"), args);
    } catch (...) {
        encoder_failed();  // for instance arguments the encoder refuses: a retry would fail too
        throw;
    }
    if (!s.encoding_process.pid) encoder_failed();
}

void TavServer::start_screenshot(nb::object x, nb::object y, nb::object width, nb::object height) {
    auto& s = streaming_;
    s.scrsht_pos = nb::make_tuple(x, y);
    s.new_scrsht_event = std::make_shared<ipc::Event>();
    s.keep_screenshot_event = std::make_shared<ipc::Event>();
    s.keep_screenshot_event->set();
    s.is_screenshooting = true;
    if (!s.shared_buffer) throw std::runtime_error("the screenshot worker needs a running encoder");
    nb::tuple args =
        nb::make_tuple(x, y, width, height,
                       nb::make_tuple(shm_share_name(*s.shared_buffer), s.shared_buffer->size()),
                       lock_share(*s.shm_lock), event_share(*s.new_frame_event),
                       event_share(*s.keep_screenshot_event), event_share(*s.new_scrsht_event));
    s.screenshot_process.pid = start_fork(module_function("_sp"), args);
    s.screenshot_process.started = std::chrono::steady_clock::now();
}

// Clears the worker's keep event, then wakes it, so that a waiting worker sees at once that it is
// to end; then waits for it. A worker that already died is reaped first: it may have died inside
// an operation on those very events.
void TavServer::stop_worker(streaming::Worker& worker, ipc::Event& keep, ipc::Event& wake) {
    if (worker.pid && streaming::process_ended(*worker.pid)) {
        reclaim_locks_of(*worker.pid);
        worker.pid.reset();
    }
    {
        // The events' guard is shared with the worker, which may hold it right now.
        py::Unlocked unlocked;
        keep.clear();
        wake.set();
    }
    if (worker.pid) graceful_process_exit(*worker.pid);
    worker.pid.reset();
}

// An encoder that cannot start is not started again and again: the app hears of it once a session
// (ERR_FFMPEG) and the frame block goes at once. A new start, or a new capture size, tries again.
void TavServer::encoder_failed() {
    auto& s = streaming_;
    stop_encoding();
    if (!s.encoder_failure_sent) send_code(ERR_FFMPEG);
    s.encoder_failure_sent = true;
}

void TavServer::stop_encoding() {
    auto& s = streaming_;
    if (!s.is_encoding) return;
    s.is_encoding = false;
    // A worker blocked on a full channel (the app stopped reading) ends at once.
    if (std::shared_ptr<net::Connection> c = connection()) c->close_video_channel();
    stop_worker(s.encoding_process, *s.keep_encoding_event, *s.new_frame_event);
    std::shared_ptr<ipc::Shm> block = s.shared_buffer;
    std::shared_ptr<ipc::Lock> lock = s.shm_lock;
    py::Unlocked unlocked;
    ipc::Held held(*lock);
    block->close();
    ipc::unlink_owned(block->name());
}

void TavServer::stop_screenshot() {
    auto& s = streaming_;
    if (!s.is_screenshooting) return;
    s.is_screenshooting = false;
    stop_worker(s.screenshot_process, *s.keep_screenshot_event, *s.new_scrsht_event);
}

// Waits for a worker to end, kills it after the join time-out, and always reaps it. A worker that
// died holding a shared lock would leave it taken for good (a semaphore has no owner): the server
// takes such a lock back. Half a message it left in its packet channel never reaches the app.
void TavServer::graceful_process_exit(pid_t pid) {
    {
        py::Unlocked unlocked;
        if (!streaming::wait_process(pid, JOIN_TIMEOUT)) {
            streaming::kill_process(pid);
            streaming::wait_process(pid, JOIN_TIMEOUT);
        }
    }
    // Holding the GIL again: a restart on another thread replaces the locks and events.
    reclaim_locks_of(pid);
}

void TavServer::reclaim_locks_of(pid_t pid) {
    auto& s = streaming_;
    if (s.shm_lock) s.shm_lock->recover(pid);
    for (auto* e : {&s.new_frame_event, &s.keep_encoding_event, &s.new_scrsht_event,
                    &s.keep_screenshot_event})
        if (*e) (*e)->recover(pid);
    socket_lock_->recover(pid);
}

std::optional<pid_t> TavServer::start_fork(nb::handle target, nb::handle args) {
    std::function<int()> body;
    std::vector<int> keep;
    if (target.is(module_function("_ep"))) {
        auto a = std::make_shared<streaming::EncoderArgs>(streaming::parse_encoder_args(args));
        keep.push_back(a->socket_fd);
        body = [a] { return streaming::run_encoder(*a); };
    } else if (target.is(module_function("_sp"))) {
        auto a =
            std::make_shared<streaming::ScreenshotArgs>(streaming::parse_screenshot_args(args));
        body = [a] { return streaming::run_screenshot(*a); };
    } else {
        throw nb::value_error("a worker target is _ep or _sp");
    }
    std::optional<pid_t> pid;
    {
        // Copying a large host's page tables takes a while; the child never touches Python.
        py::Unlocked unlocked;
        pid = streaming::fork_worker(body, keep);
    }
    if (!pid) async_log("Error creating encoding process");
    return pid;
}

}  // namespace tav
