// Portable POSIX: the flags are set right after the socket is made, and, where sends have no
// MSG_NOSIGNAL (macOS), each socket is told not to raise SIGPIPE.
#include "platform/socket_parts.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tav::platform::detail {

namespace {

// Not inherited, blocking or not as asked, no SIGPIPE; the socket closed and kNoSocket if that
// fails.
Socket prepared(Socket s, bool non_blocking) {
    if (s < 0) return kNoSocket;
    int flags = ::fcntl(s, F_GETFL);
    bool ok = ::fcntl(s, F_SETFD, FD_CLOEXEC) == 0 && flags >= 0 &&
              ::fcntl(s, F_SETFL, non_blocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
#if defined(SO_NOSIGPIPE)
    int one = 1;
    ok = ok && ::setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) == 0;
#endif
    if (ok) return s;
    int err = errno;
    ::close(s);
    errno = err;
    return kNoSocket;
}

}  // namespace

Socket new_stream_socket(int domain, bool non_blocking) {
    return prepared(::socket(domain, SOCK_STREAM, 0), non_blocking);
}

Socket accept_blocking(Socket listening, sockaddr_in& peer) {
    socklen_t len = sizeof peer;
    // Some systems hand the listening socket's O_NONBLOCK on: cleared.
    return prepared(::accept(listening, reinterpret_cast<sockaddr*>(&peer), &len), false);
}

int new_socket_pair(Socket (&ends)[2]) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return errno;
    for (Socket& s : ends) {
        s = prepared(s, false);
        if (s == kNoSocket) {
            int err = errno;
            for (Socket other : ends) close_socket(other);
            return err;
        }
    }
    return 0;
}

}  // namespace tav::platform::detail
