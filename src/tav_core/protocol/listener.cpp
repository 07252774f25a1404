#include "protocol/listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

#include "protocol/net_error.hpp"

namespace tav::net {

bool Listener::open(int port) {
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s) throw std::system_error(errno, std::generic_category(), "socket");
    int one = 1;
    if (::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        throw std::system_error(errno, std::generic_category(), "setsockopt");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 ||
        ::bind(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return false;
    socklen_t len = sizeof addr;
    if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::system_error(errno, std::generic_category(), "getsockname");
    port_ = ntohs(addr.sin_port);
    if (::listen(s.fd(), 1) != 0) throw std::system_error(errno, std::generic_category(), "listen");
    socket_ = std::move(s);
    return true;
}

void Listener::wake_accept() {
    if (!port_) return;
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) throw Error(errno);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(*port_));
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) throw Error(errno);
        pollfd p{s.fd(), POLLOUT, 0};
        ::poll(&p, 1, 1000);
    }
}

void Listener::close() {
    if (socket_) ::shutdown(socket_.fd(), SHUT_RDWR);
    socket_.close();
}

}  // namespace tav::net
