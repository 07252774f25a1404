// What the system knows of a TCP connection's progress towards its peer, and the one knob on its
// send queue. The writer of the app connection reads it every few tens of milliseconds to follow
// the link's rate (net/rate_controller.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.hpp"

namespace tav::platform {

struct TcpLinkInfo {
    bool acked_known = false;  // whether `acked` and `unacked` below are the kernel's figures
    uint64_t acked = 0;        // bytes the peer has acknowledged since the connection opened
    size_t unacked = 0;        // bytes in the kernel not yet acknowledged, unsent ones included
    size_t unsent = 0;         // of which not yet sent
    double rtt = 0;            // smoothed round trip (s), 0: unknown
    double min_rtt = 0;        // the smallest round trip seen (s), 0: unknown
};

// Reads the state of the connection `fd`. Never fails: what the system does not tell stays 0.
TcpLinkInfo tcp_link_info(Socket fd);

// Bytes written to `fd` that the peer has not acknowledged, unsent ones included; 0 where the
// system does not tell.
size_t tcp_unacknowledged(Socket fd);

// Lets the kernel hold at most about `bytes` of `fd`'s data unsent: a write beyond that waits (or,
// non-blocking, fails with EAGAIN), so what is written later can still be reordered in user space.
// Where the system has no such limit, a send buffer of a few times `bytes` stands in. False when
// the system refused.
bool tcp_limit_unsent(Socket fd, size_t bytes);

}  // namespace tav::platform
