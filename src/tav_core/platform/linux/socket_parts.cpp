// Linux gives sockets their flags as they are made: no moment in which a forked child could
// inherit them.
#include "platform/socket_parts.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace tav::platform::detail {

Socket new_stream_socket(int domain, bool non_blocking) {
    return ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), 0);
}

Socket accept_blocking(Socket listening, sockaddr_in& peer) {
    socklen_t len = sizeof peer;
    // accept4 gives the new socket none of the listening socket's flags.
    return ::accept4(listening, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
}

int new_socket_pair(Socket (&ends)[2]) {
    return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0 ? 0 : errno;
}

}  // namespace tav::platform::detail
