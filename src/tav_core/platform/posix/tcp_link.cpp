// Portable POSIX: the system tells nothing of a connection's progress. The writer then counts what
// the socket took as delivered and sees congestion in its own queue, which grows once the socket's
// send buffer is full; a small buffer stands in for the unsent limit.
#include "platform/tcp_link.hpp"

#include <sys/socket.h>

#include <algorithm>

namespace tav::platform {

namespace {
// The smallest send buffer asked for. What the buffer holds is a queue the writer cannot see,
// latency on a slow link (16 kB, doubled by Linux, were 400 ms at 500 kbit/s).
constexpr size_t kMinSendBuffer = 2 * 1024;
}  // namespace

TcpLinkInfo tcp_link_info(int) { return {}; }

size_t tcp_unacknowledged(int) { return 0; }

bool tcp_limit_unsent(Socket fd, size_t bytes) {
    int v = static_cast<int>(std::max(kMinSendBuffer, bytes));
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &v, sizeof v) == 0;
}

}  // namespace tav::platform
