// Linux: TCP_INFO for acknowledgements and round trips, SIOCOUTQ for the send
// queue, TCP_NOTSENT_LOWAT for the unsent limit.
#include "platform/tcp_link.hpp"

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>

namespace tav::platform {

TcpLinkInfo tcp_link_info(Socket fd) {
    TcpLinkInfo out;
    tcp_info info;
    std::memset(&info, 0, sizeof info);  // fields an older kernel does not fill stay 0
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return out;
    const size_t outq = tcp_unacknowledged(fd);
    // tcpi_bytes_acked came with Linux 4.1; without it the caller counts from its own writes.
    out.acked_known = len >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked;
    out.acked = info.tcpi_bytes_acked;
    out.unacked = outq;
    out.unsent = info.tcpi_notsent_bytes;
    out.rtt = info.tcpi_rtt * 1e-6;
    out.min_rtt = info.tcpi_min_rtt == ~0u ? 0 : info.tcpi_min_rtt * 1e-6;
    return out;
}

size_t tcp_unacknowledged(Socket fd) {
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

bool tcp_limit_unsent(Socket fd, size_t bytes) {
    int v = static_cast<int>(bytes);
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &v, sizeof v) == 0;
}

}  // namespace tav::platform
