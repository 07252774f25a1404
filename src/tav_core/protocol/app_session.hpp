// The app's session: the network thread's accept loop, the command loop of one connected app, and
// the dispatch of each code it sends (echo, request payload, then its handler in host context, as
// command_table.hpp routes it). Threads and the GIL: docs/threads.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/host_bridge.hpp"
#include "core/serving_state.hpp"
#include "protocol/client_link.hpp"
#include "protocol/handlers.hpp"
#include "protocol/listener.hpp"

namespace tav {

// The network thread's name, in its reports.
inline constexpr const char* kNetworkThread = "tavrel-network";

class AppSession {
  public:
    AppSession(HostBridge& host, net::ClientLink& link, ServingState& state, Cameras& cameras,
               streaming::Stream& stream, const ServerIdentity& identity)
        : state_(state), context_{host, link, cameras, stream, identity} {}

    // The network thread's body: accepts one app at a time and runs its session, while serving.
    // A failed accept calls `stop_server` (holding the GIL).
    void serve(net::Listener& listener, const std::function<void()>& stop_server);
    // One code the app sent: echo, payload, delivery. Network thread, without the GIL; an error a
    // push-mode delivery raises is reported and the session goes on.
    void process_code(uint8_t code);
    // Runs the handler of `code` at once in the calling (host) thread.
    void run_now(uint8_t code);

  private:
    void run(net::Connection& connection, const std::string& ip, int port);

    ServingState& state_;
    CommandContext context_;
};

}  // namespace tav
