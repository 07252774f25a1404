// A loopback socket pair: set by sending a byte (a full buffer is set already), cleared by reading
// all there is. Windows' own wait for an event object cannot watch a socket's readiness beside it
// without WSAEventSelect, which socket.cpp explains it does not use; so the WakeUp is a socket,
// and the one WSAPoll of wait_sockets watches it with the others.
#include "platform/wake_up.hpp"

#include <winsock2.h>

#include <system_error>

#include "platform/socket.hpp"

namespace tav::platform {

WakeUp::WakeUp() {
    Socket ends[2];
    if (int err = socket_pair(ends))
        throw std::system_error(err, std::system_category(), "wake-up");
    read_ = ends[0];
    write_ = ends[1];
}

WakeUp::~WakeUp() {
    close_socket(read_);
    close_socket(write_);
}

void WakeUp::set() {
    const char byte = 1;
    send_now(write_, &byte, 1);
}

void WakeUp::clear() {
    char buf[64];
    while (receive_now(read_, buf, sizeof buf) > 0) {
    }
}

}  // namespace tav::platform
