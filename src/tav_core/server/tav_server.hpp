// TavServer: the one object a host plug-in creates, and the thin object the Python API binds
// (bindings.hpp). It holds the serving lifecycle and the pieces that do the work:
//   HostBridge   (host/host_bridge.hpp)       every call into the host, push or pull
//   Listener     (net/listener.hpp)      the listening socket
//   ClientLink   (net/client_link.hpp)   the connected app's connection
//   AppSession   (server/app_session.hpp)   the network thread and the command dispatch
//   Cameras      (host/cameras.hpp)       the selected camera and the last camera list
//   Stream       (streaming/stream.hpp)       the viewport stream and its workers
// Which thread runs what, the locks and the GIL, and what guards each field: docs/threads.md.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "host/cameras.hpp"
#include "host/host_bridge.hpp"
#include "net/client_link.hpp"
#include "net/listener.hpp"
#include "net/serving_state.hpp"
#include "runtime/daemon_thread.hpp"
#include "server/app_session.hpp"
#include "server/server_identity.hpp"
#include "streaming/stream.hpp"

namespace tav {

namespace nb = nanobind;

class TavServer {
  public:
    // The values of the CAPMODE_*, CAPFORMAT_UBYTE_* and EVENTMODE_* constants.
    using CaptureMode = streaming::CaptureMode;
    using CaptureFormat = streaming::CaptureFormat;
    using EventMode = HostBridge::Mode;

    // ValueError for a bad platform, plugin_version, tavbase or event_mode.
    TavServer(nb::object platform, nb::object plugin_version, nb::object tavbase,
              nb::object event_mode, nb::object main_thread_func);
    TavServer(const TavServer&) = delete;
    TavServer& operator=(const TavServer&) = delete;

    bool start_serving(nb::handle port, const std::optional<std::string>& address);
    void stop_serving();
    void update_script_labels();
    std::string get_qr_string();

    const ServerIdentity& identity() const { return identity_; }
    const nb::object& event_mode() const { return event_mode_; }
    const ServingState& state() const { return state_; }
    const Cameras& cameras() const { return cameras_; }
    std::optional<int> server_port() const { return listener_.port(); }
    HostBridge& host() { return host_; }
    net::ClientLink& link() { return link_; }
    streaming::Stream& stream() { return stream_; }
    AppSession& session() { return session_; }

  private:
    // The constructor's arguments, checked.
    struct Arguments {
        ServerIdentity identity;
        nb::object event_mode, tavbase, main_thread_func;
        EventMode mode;
    };
    static Arguments check(nb::object platform, nb::object plugin_version, nb::object tavbase,
                           nb::object event_mode, nb::object main_thread_func);
    explicit TavServer(Arguments a);

    void stop_thread();  // the stop thread's body

    ServerIdentity identity_;
    nb::object event_mode_;  // as the host gave it
    ServingState state_;
    HostBridge host_;
    net::Listener listener_;
    net::ClientLink link_{state_};
    Cameras cameras_;
    streaming::Stream stream_{host_, link_, state_, cameras_};
    AppSession session_{host_, link_, state_, cameras_, stream_, identity_};
    DaemonThread network_thread_, stop_thread_;
};

}  // namespace tav
