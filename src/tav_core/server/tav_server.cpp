// TavServer construction and the serving lifecycle.
#include "server/tav_server.hpp"

#include <nanobind/stl/string.h>

#include "ipc/owned_blocks.hpp"
#include "net/commands.hpp"
#include "qr/connection_qr.hpp"
#include "runtime/format.hpp"
#include "runtime/package.hpp"
#include "runtime/python.hpp"
#include "runtime/version.hpp"

namespace tav {

TavServer::Arguments TavServer::check(nb::object platform, nb::object plugin_version,
                                      nb::object tavbase, nb::object event_mode,
                                      nb::object main_thread_func) {
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

    EventMode mode;
    if (event_mode.equal(nb::int_(static_cast<int>(EventMode::push)))) {
        mode = EventMode::push;
    } else if (event_mode.equal(nb::int_(static_cast<int>(EventMode::pull)))) {
        mode = EventMode::pull;
    } else {
        throw nb::value_error(
            "'event_mode' must be one of TavServer.EVENTMODE_PUSH or TavServer.EVENTMODE_PULL");
    }

    if (!nb::isinstance(tavbase, tav_base_class))
        throw nb::value_error("'tavbase' must be an instance of an TavBase subclass");
    if (!PyTuple_CheckExact(plugin_version.ptr())) py::raise_expected("tuple", plugin_version);

    std::string platform_text = nb::cast<std::string>(platform);
    return {{std::move(platform), std::move(plugin_version), std::move(platform_text)},
            std::move(event_mode),
            std::move(tavbase),
            std::move(main_thread_func),
            mode};
}

TavServer::TavServer(nb::object platform, nb::object plugin_version, nb::object tavbase,
                     nb::object event_mode, nb::object main_thread_func)
    : TavServer(check(std::move(platform), std::move(plugin_version), std::move(tavbase),
                      std::move(event_mode), std::move(main_thread_func))) {}

TavServer::TavServer(Arguments a)
    : identity_(std::move(a.identity)),
      event_mode_(std::move(a.event_mode)),
      host_([this] { return nb::find(this); }, a.mode, std::move(a.tavbase),
            std::move(a.main_thread_func)) {
    nb::tuple v = nb::borrow<nb::tuple>(identity_.plugin_version);
    py::log(format("%s plug-in version %d.%d.%d | Server version %d.%d.%d",
                   identity_.platform_text.c_str(), nb::cast<int>(v[0]), nb::cast<int>(v[1]),
                   nb::cast<int>(v[2]), kVersion[0], kVersion[1], kVersion[2]));
}

bool TavServer::start_serving(nb::handle port_arg, const std::optional<std::string>& address) {
    // A network thread that outlived the last stop's wait for it (held up in a host call) would
    // serve on into the new serving period: until it has ended the server is busy.
    if (state_.is_serving || state_.is_stopping || state_.is_starting || network_thread_.alive())
        return false;
    int port = nb::cast<int>(port_arg);  // an integer, as any socket address takes
    state_.is_starting = true;
    {
        // Frame blocks of servers that died without removing them (killed while no worker ran).
        py::Unlocked unlocked;
        ipc::remove_orphaned_blocks();
    }
    try {
        if (!listener_.open(port, address)) {
            py::log(format("Can't start server. TCP port %d already in use.", port));
            state_.is_starting = false;
            return false;
        }
        py::Ref keep(host_.self());
        host_.open();
        state_.is_serving = true;
        state_.is_starting = false;
        network_thread_ = DaemonThread::start(kNetworkThread, [this, keep] {
            session_.serve(listener_, [this] { stop_serving(); });
        });
    } catch (...) {
        listener_.close();
        host_.close();
        state_.is_serving = false;
        state_.is_starting = false;
        throw;
    }
    return true;
}

void TavServer::stop_serving() {
    if (!state_.is_serving || state_.is_starting || state_.is_stopping) return;
    state_.is_stopping = true;
    py::Ref keep(host_.self());
    try {
        stop_thread_ = DaemonThread::start("tavrel-stop", [this, keep] { stop_thread(); });
    } catch (...) {
        state_.is_stopping = false;  // still serving: a later stop_serving may try again
        throw;
    }
}

// Every step runs whatever the steps before it did: a failing step is reported and the stop goes
// on, so the sockets always close and the flags always return to Idle.
void TavServer::stop_thread() {
    const char* name = "tavrel-stop";
    // A streaming start that the host runs right now would set its session up after the stream
    // stop below, with no one left to end it: it may finish first (for a bounded time).
    stream_.await_running_start(kJoinTimeout);
    {
        py::Gil gil;
        try {
            stream_.stop();
        } catch (...) {
            py::report_current_exception(name);
        }
    }
    state_.is_serving = false;
    // A network thread waiting for a streaming start or an admission decision that the host may
    // never run is let go.
    stream_.release_start_waiter();
    session_.release();
    link_.shutdown();
    try {
        listener_.wake_accept();
    } catch (...) {
        py::Gil gil;
        py::report_current_exception(name);
    }
    network_thread_.join(kJoinTimeout);
    listener_.close();
    state_.is_stopping = false;
    {
        py::Gil gil;
        try {
            host_.deliver_host("server_did_stop");
        } catch (...) {
            py::report_current_exception(name);
        }
    }
    if (!state_.is_serving) host_.close();
}

void TavServer::update_script_labels() { session_.run_now(ASK_SCRIPT_INFO); }

std::string TavServer::get_qr_string() {
    return qr::connection_string(state_.is_serving, listener_.port(), listener_.address());
}

}  // namespace tav
