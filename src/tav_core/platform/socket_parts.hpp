// The parts of the socket facility that differ between systems (making sockets: whether the flags
// come with the socket or are set after it); only socket.cpp uses them.
#pragma once

#include <netinet/in.h>

#include "platform/socket.hpp"

namespace tav::platform::detail {

// A new stream socket in `domain`, not inherited by child processes, non-blocking if asked;
// kNoSocket on failure (errno).
Socket new_stream_socket(int domain, bool non_blocking);
// The next connection on `listening` as a blocking socket, not inherited; kNoSocket on failure.
Socket accept_blocking(Socket listening, sockaddr_in& peer);
// A connected pair of local stream sockets, not inherited. 0 or the errno.
int new_socket_pair(Socket (&ends)[2]);

}  // namespace tav::platform::detail
