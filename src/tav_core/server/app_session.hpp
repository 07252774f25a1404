// The app's session: the network thread's accept loop (who is served, and when: the host's
// admission, one app at a time, a returning phone taking over), the command loop of one connected
// app, and the dispatch of each code it sends (echo, request payload, then its handler in host
// context, as command_table.hpp routes it). Threads and the GIL: docs/threads.md.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "host/host_bridge.hpp"
#include "net/client_link.hpp"
#include "net/listener.hpp"
#include "net/net_error.hpp"
#include "net/serving_state.hpp"
#include "server/admission.hpp"
#include "server/handlers.hpp"

namespace tav {

// The network thread's name, in its reports.
inline constexpr const char* kNetworkThread = "tavrel-network";
// Admitted apps that connected from another address while one is served wait in arrival order,
// this many at most (more wait in the listening socket's backlog, undecided).
inline constexpr size_t kMaxWaitingApps = 8;
// An app from the served app's address takes its place once the served app has been silent this
// long: a phone back after a network blip has stopped talking on its old connection, while an app
// that still talks is not cut off by another at the same address (two phones behind one router).
inline constexpr std::chrono::milliseconds kQuietBeforeTakeover{1500};

class AppSession {
  public:
    AppSession(HostBridge& host, net::ClientLink& link, ServingState& state, Cameras& cameras,
               streaming::Stream& stream, const ServerIdentity& identity)
        : state_(state), admission_(host, state), context_{host, link, cameras, stream, identity} {}

    // The network thread's body: accepts one app at a time, asks the host whether to serve it and
    // runs its session, while serving. A failed accept calls `stop_server` (holding the GIL).
    void serve(net::Listener& listener, const std::function<void()>& stop_server);
    // A stop lets the network thread's waits go (after is_serving was cleared).
    void release() { admission_.release(); }
    // One code the app sent: echo, payload, delivery. Network thread, without the GIL; an error a
    // push-mode delivery raises is reported and the session goes on.
    void process_code(uint8_t code);
    // Runs the handler of `code` at once in the calling (host) thread.
    void run_now(uint8_t code);

  private:
    // The next connection from the listener: waits for one when `wait`. None when the listener
    // turned readable without one, or serving stopped; net::Error when accepting failed for good.
    std::optional<net::Accepted> next_connection(net::Listener& listener, bool wait);
    // The host's admission decision; a refused app's connection is closed at once and logged.
    bool admit(net::Accepted& app);
    // Serves one admitted app until its session ends. Returns the connection of a returning phone
    // (from the same address, admitted) that ended the session and is to be served at once.
    std::optional<net::Accepted> run(net::Accepted app, net::Listener& listener);

    ServingState& state_;
    Admission admission_;
    CommandContext context_;
    // Network thread only.
    std::deque<net::Accepted> waiting_;
    std::optional<net::Error> accept_failure_;
};

}  // namespace tav
