#include "net/listener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "net/net_error.hpp"

namespace tav::net {

namespace {

[[noreturn]] void not_an_address(const std::string& address) {
    throw std::invalid_argument("'address' must be an IPv4 address of this machine, not '" +
                                address + "'");
}

}  // namespace

bool Listener::open(int port, const std::optional<std::string>& address) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && ::inet_pton(AF_INET, address->c_str(), &addr.sin_addr) != 1)
        not_an_address(*address);
    // Non-blocking: the network thread waits for connections in poll, with the app's socket.
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) throw std::system_error(errno, std::generic_category(), "socket");
    int one = 1;
    if (::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        throw std::system_error(errno, std::generic_category(), "setsockopt");
    if (port < 0 || port > 65535) return false;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        // The kernel knows the machine's addresses: an address no interface has cannot be bound.
        if (address && errno == EADDRNOTAVAIL) not_an_address(*address);
        return false;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::system_error(errno, std::generic_category(), "getsockname");
    if (::listen(s.fd(), 1) != 0) throw std::system_error(errno, std::generic_category(), "listen");
    port_ = ntohs(addr.sin_port);
    address_ = addr.sin_addr.s_addr == htonl(INADDR_ANY) ? std::nullopt : address;
    socket_ = std::move(s);
    return true;
}

std::optional<Accepted> Listener::accept() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    // The accepted socket blocks (accept4 gives it none of the listening socket's flags).
    Socket s(::accept4(socket_.fd(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
    if (!s) {
        // Nothing waits (any more): another wake-up, or a connection the peer aborted meanwhile.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return std::nullopt;
        throw Error(errno);
    }
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    return Accepted{std::move(s), ip, ntohs(peer.sin_port)};
}

void Listener::wake_accept() {
    if (!port_) return;
    Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) throw Error(errno);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (address_) ::inet_pton(AF_INET, address_->c_str(), &addr.sin_addr);
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
