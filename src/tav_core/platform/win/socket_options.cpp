// Windows: keepalive timings through SIO_KEEPALIVE_VALS (every Windows: idle time and interval;
// the probe count is 10 there), the probe count through TCP_KEEPCNT (Windows 10 1703 and newer),
// and the unacknowledged-data limit through TCP_MAXRTMS (Windows 10 1607 and newer), TCP_MAXRT
// (whole seconds) before it. The Windows SDK's values of the last three, which MinGW's headers
// lack, are fixed by Windows' ABI.
#include "platform/socket_options.hpp"

// clang-format off: winsock2.h comes first
#include <winsock2.h>
#include <mstcpip.h>
// clang-format on

#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_MAXRTMS
#define TCP_MAXRTMS 14
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace tav::platform {

namespace {

bool set_int(Socket fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

}  // namespace

void set_no_delay(Socket fd) { set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

bool set_keepalive(Socket fd, const Keepalive& timings) {
    tcp_keepalive values{1, static_cast<ULONG>(timings.idle_seconds) * 1000,
                         static_cast<ULONG>(timings.interval_seconds) * 1000};
    DWORD got = 0;
    if (::WSAIoctl(fd, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &got, nullptr,
                   nullptr) != 0) {
        set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1);  // the system's timings (hours)
        return false;
    }
    // Without it 10 probes: the peer is noticed later than asked, but noticed.
    set_int(fd, IPPROTO_TCP, TCP_KEEPCNT, timings.probes);
    return true;
}

bool set_unacked_limit(Socket fd, int limit_ms) {
    return set_int(fd, IPPROTO_TCP, TCP_MAXRTMS, limit_ms) ||
           set_int(fd, IPPROTO_TCP, TCP_MAXRT, (limit_ms + 999) / 1000);
}

}  // namespace tav::platform
