// Options of a connected TCP socket: small messages sent at once, and a peer that vanished
// (left the network, lost its power) noticed although it never closed the connection.
#pragma once

#include "platform/socket.hpp"

namespace tav::platform {

// Keepalive timings of the app connection: after `idle_seconds` without any traffic the peer is
// probed every `interval_seconds`; `probes` unanswered probes end the connection. 6 + 3 x 3: a
// vanished phone is noticed about 15 s after it last answered.
struct Keepalive {
    int idle_seconds = 6;
    int interval_seconds = 3;
    int probes = 3;
};

// Sent data that stays unacknowledged this long ends the connection (a peer that vanished while
// data was on its way to it): as long as unanswered keepalive probes take.
inline constexpr int kUnackedLimitMs =
    1000 * (Keepalive{}.idle_seconds + Keepalive{}.interval_seconds * Keepalive{}.probes);

// Sends each write at once, without waiting to join it with the next.
void set_no_delay(Socket fd);
// Turns keepalive on with these timings. Where the system lets no timing be set, its own defaults
// apply (hours): false then.
bool set_keepalive(Socket fd, const Keepalive& timings);
// Ends the connection when sent data stays unacknowledged for `limit_ms`. False where the system
// offers no such limit (the writer's own stall limit still ends a connection that takes nothing).
bool set_unacked_limit(Socket fd, int limit_ms);

}  // namespace tav::platform
