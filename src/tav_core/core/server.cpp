// TavServer construction, properties' backing state and the serving lifecycle.
#include "core/server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/package.hpp"
#include "core/python.hpp"
#include "ipc/owned_blocks.hpp"

namespace tav {

namespace {

std::string format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

[[noreturn]] void type_error_expected(const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", expected,
                 py::type_name(got).c_str());
    throw nb::python_error();
}

}  // namespace

TavServer::TavServer(nb::object platform, nb::object plugin_version, nb::object tavbase,
                     nb::object event_mode, nb::object main_thread_func,
                     nb::object python_executable) {
    nb::object tav_base_class =
        nb::module_::import_(package_module("tav_base").c_str()).attr("TavBase");

    if (!PyUnicode_Check(platform.ptr()) || PyUnicode_GetLength(platform.ptr()) > 10)
        throw nb::value_error("'platform' must be a string of 10 characters max.");

    const char* version_message =
        "'plugin_version' must be a tupple with 3 integers (major, minor, patch)";
    if (!PyTuple_Check(plugin_version.ptr()) || PyTuple_Size(plugin_version.ptr()) != 3)
        throw nb::value_error(version_message);
    for (nb::handle item : nb::borrow<nb::tuple>(plugin_version))
        if (!PyLong_Check(item.ptr())) throw nb::value_error(version_message);

    if (event_mode.equal(nb::int_(EVENTMODE_PUSH))) {
        event_mode_ = EVENTMODE_PUSH;
    } else if (event_mode.equal(nb::int_(EVENTMODE_PULL))) {
        event_mode_ = EVENTMODE_PULL;
    } else {
        throw nb::value_error(
            "'event_mode' must be one of TavServer.EVENTMODE_PUSH or TavServer.EVENTMODE_PULL");
    }

    if (!nb::isinstance(tavbase, tav_base_class))
        throw nb::value_error("'tavbase' must be an instance of an TavBase subclass");

    socket_lock_ = std::make_shared<ipc::Lock>();

    if (!PyTuple_CheckExact(plugin_version.ptr())) type_error_expected("tuple", plugin_version);
    platform_ = std::move(platform);
    platform_text_ = nb::cast<std::string>(platform_);
    plugin_version_ = std::move(plugin_version);
    event_mode_obj_ = std::move(event_mode);
    tavbase_ = std::move(tavbase);
    main_thread_func_ = std::move(main_thread_func);

    current_camera_ = nb::str("");
    streaming_.capture_mode = nb::none();
    streaming_.capture_format = nb::none();
    streaming_.capture_width = nb::none();
    streaming_.capture_height = nb::none();
    streaming_.pixel_format = nb::none();
    streaming_.scrsht_pos = nb::make_tuple(0, 0);
    streaming_.async_capture_position = nb::none();
    streaming_.async_capture_buffer = nb::none();
    scene_cameras_ = nb::none();
    // Worker processes are forked on this platform, so no interpreter executable is needed.
    (void)python_executable;
    python_executable_ = nb::none();
}

TavServer::~TavServer() = default;

void TavServer::log_version() {
    nb::tuple v = nb::borrow<nb::tuple>(plugin_version_);
    py::log(format("%s plug-in version %d.%d.%d | Server version %d.%d.%d", platform_text_.c_str(),
                   nb::cast<int>(v[0]), nb::cast<int>(v[1]), nb::cast<int>(v[2]), SERVER_VERSION[0],
                   SERVER_VERSION[1], SERVER_VERSION[2]));
}

bool TavServer::start_serving(nb::handle port_arg) {
    // A network thread that outlived the last stop's wait for it (held up in a host call) would
    // serve on into the new serving period: until it has ended the server is busy.
    if (is_serving_ || is_stopping_ || is_starting_ || tcp_srv_thread_.alive()) return false;
    int port = nb::cast<int>(port_arg);  // an integer, as any socket address takes
    is_starting_ = true;
    {
        // Frame blocks of servers that died without removing them (killed while no worker ran).
        py::Unlocked unlocked;
        ipc::remove_orphaned_blocks();
    }
    try {
        net::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!s) throw std::system_error(errno, std::generic_category(), "socket");
        int one = 1;
        if (::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
            throw std::system_error(errno, std::generic_category(), "setsockopt");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (port < 0 || port > 65535 ||
            ::bind(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            py::log(format("Can't start server. TCP port %d already in use.", port));
            is_starting_ = false;
            return false;
        }
        socklen_t len = sizeof addr;
        if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::system_error(errno, std::generic_category(), "getsockname");
        server_port_ = ntohs(addr.sin_port);
        if (::listen(s.fd(), 1) != 0)
            throw std::system_error(errno, std::generic_category(), "listen");
        srv_socket_ = std::move(s);
        if (event_mode_ == EVENTMODE_PULL)
            callback_queue_ = std::make_shared<CallbackQueue>(QUEUE_MAX_SIZE);

        py::Ref keep(self());
        is_event_loop_running_ = true;
        is_serving_ = true;
        is_starting_ = false;
        tcp_srv_thread_ =
            DaemonThread::start("tavrel-network", [this, keep] { handle_tcp_socket(); });
    } catch (...) {
        srv_socket_.close();
        is_event_loop_running_ = false;
        is_serving_ = false;
        is_starting_ = false;
        throw;
    }
    return true;
}

void TavServer::stop_serving() {
    if (!is_serving_ || is_starting_ || is_stopping_) return;
    is_stopping_ = true;
    py::Ref keep(self());
    try {
        stop_srv_thread_ =
            DaemonThread::start("tavrel-stop", [this, keep] { stop_serving_thread(); });
    } catch (...) {
        is_stopping_ = false;  // still serving: a later stop_serving may try again
        throw;
    }
}

// Every step runs whatever the steps before it did: a failing step is reported and the stop goes
// on, so the sockets always close and the flags always return to Idle.
void TavServer::stop_serving_thread() {
    const char* name = "tavrel-stop";
    // A streaming start that the host runs right now would set its session up after the stream
    // stop below, with no one left to end it: it may finish first (for a bounded time).
    if (streaming_.start_running)
        if (auto started = streaming_.start_streaming_event.load()) started->wait_for(JOIN_TIMEOUT);
    {
        py::Gil gil;
        try {
            stop_streaming();
        } catch (...) {
            py::report_current_exception(name);
        }
    }
    is_serving_ = false;
    // A network thread waiting for a streaming start that the host may never run is let go.
    if (auto started = streaming_.start_streaming_event.load()) started->set();
    shutdown_client();
    try {
        stop_tcp_accept();
    } catch (...) {
        py::Gil gil;
        py::report_current_exception(name);
    }
    tcp_srv_thread_.join(JOIN_TIMEOUT);
    {
        ipc::Held held(*socket_lock_);
        if (srv_socket_) ::shutdown(srv_socket_.fd(), SHUT_RDWR);
        srv_socket_.close();
    }
    is_stopping_ = false;
    {
        py::Gil gil;
        try {
            deliver_host("server_did_stop");
        } catch (...) {
            py::report_current_exception(name);
        }
    }
    if (!is_serving_) is_event_loop_running_ = false;
}

void TavServer::update_script_labels() { send_script_info(nb::bytes("\x07", 1)); }

}  // namespace tav
