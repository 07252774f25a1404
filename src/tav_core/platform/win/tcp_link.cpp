// Windows: SIO_TCP_INFO (Windows 10 1703 and newer) tells the round trips and the bytes sent but
// not yet acknowledged; how much of the send queue is still unsent it does not tell, nor the
// bytes acknowledged in all (BytesOut counts retransmissions), so the writer counts deliveries
// from its own writes as on portable POSIX. A send buffer of a few times the limit stands in for
// the unsent limit. Where the query fails (an older Windows, Wine), nothing is known.
#include <winsock2.h>
// TCP_INFO_v0 is declared for Windows 10 1703 and newer only.
#if !defined(NTDDI_VERSION) || NTDDI_VERSION < 0x0A000003
#undef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000003
#endif
#include <mstcpip.h>

#include <algorithm>

#include "platform/tcp_link.hpp"

namespace tav::platform {

namespace {

// The smallest send buffer asked for: what a few frames of a slow stream need.
constexpr size_t kMinSendBuffer = 16 * 1024;

bool query(Socket fd, TCP_INFO_v0& info) {
    DWORD version = 0, got = 0;
    return ::WSAIoctl(fd, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &got, nullptr,
                      nullptr) == 0 &&
           got >= sizeof info;
}

}  // namespace

TcpLinkInfo tcp_link_info(Socket fd) {
    TcpLinkInfo out;
    TCP_INFO_v0 info{};
    if (!query(fd, info)) return out;
    out.unacked = info.BytesInFlight;
    out.rtt = info.RttUs * 1e-6;
    out.min_rtt = info.MinRttUs == ~ULONG{0} ? 0 : info.MinRttUs * 1e-6;
    return out;
}

size_t tcp_unacknowledged(Socket fd) {
    TCP_INFO_v0 info{};
    return query(fd, info) ? info.BytesInFlight : 0;
}

bool tcp_limit_unsent(Socket fd, size_t bytes) {
    int v = static_cast<int>(std::max(kMinSendBuffer, 2 * bytes));
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&v), sizeof v) ==
           0;
}

}  // namespace tav::platform
