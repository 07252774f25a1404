#include "platform/socket_options.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tav::platform {

namespace {

bool set_int(Socket fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

void set_no_delay(Socket fd) { set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

// The idle time is TCP_KEEPIDLE on most systems and TCP_KEEPALIVE on macOS; the interval and the
// count are not in POSIX and are set where the system has them.
bool set_keepalive(Socket fd, const Keepalive& timings) {
    if (!set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) return false;
    bool timed = false;
#if defined(TCP_KEEPIDLE)
    timed = set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, timings.idle_seconds);
#elif defined(TCP_KEEPALIVE)
    timed = set_int(fd, IPPROTO_TCP, TCP_KEEPALIVE, timings.idle_seconds);
#endif
#if defined(TCP_KEEPINTVL)
    timed = set_int(fd, IPPROTO_TCP, TCP_KEEPINTVL, timings.interval_seconds) && timed;
#endif
#if defined(TCP_KEEPCNT)
    timed = set_int(fd, IPPROTO_TCP, TCP_KEEPCNT, timings.probes) && timed;
#endif
    (void)timings;
    return timed;
}

// With keepalive on, the limit also decides when unanswered probes end the connection: it is what
// the probes take (kUnackedLimitMs), so both paths end a dead connection alike.
bool set_unacked_limit(Socket fd, int limit_ms) {
#if defined(TCP_USER_TIMEOUT)
    return set_int(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, limit_ms);
#else
    (void)fd;
    (void)limit_ms;
    return false;
#endif
}

}  // namespace tav::platform
