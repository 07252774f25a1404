#include "platform/socket_options.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tav::platform {

namespace {

bool set_int(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

void set_no_delay(int fd) { set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

bool set_keepalive(int fd, const Keepalive& timings) {
    return set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
           set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, timings.idle_seconds) &&
           set_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, timings.interval_seconds) &&
           set_int(fd, IPPROTO_TCP, TCP_KEEPCNT, timings.probes);
}

// With keepalive on, the limit also decides when unanswered probes end the connection: it is
// kept equal to what the probes take, so both paths end a dead connection alike.
bool set_unacked_limit(int fd, int limit_ms) {
    return set_int(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, limit_ms);
}

}  // namespace tav::platform
