#include "net/listener.hpp"

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
    std::optional<uint32_t> ip;
    if (address && !(ip = platform::ipv4_address(*address))) not_an_address(*address);
    if (port < 0 || port > 65535) return false;
    // Non-blocking: the network thread waits for connections together with the app's socket.
    platform::Listening l = platform::listen_ipv4(ip, port);
    if (l.socket == platform::kNoSocket) {
        // The kernel knows the machine's addresses: an address no interface has cannot be bound.
        if (address && l.address_unavailable) not_an_address(*address);
        return false;
    }
    port_ = l.port;
    address_ = ip && *ip != 0 ? address : std::nullopt;  // 0.0.0.0 is every address
    socket_ = Socket(l.socket);
    return true;
}

std::optional<Accepted> Listener::accept() {
    int err = 0;
    std::optional<platform::Accepted> a = platform::accept_ipv4(socket_.get(), err);
    // Nothing waits (any more): another wake-up, or a connection the peer aborted meanwhile.
    if (!a) {
        if (err) throw Error(err);
        return std::nullopt;
    }
    return Accepted{Socket(a->socket), std::move(a->ip), a->port};
}

void Listener::wake_accept() {
    if (!port_) return;
    std::optional<uint32_t> ip;
    if (address_) ip = platform::ipv4_address(*address_);
    if (int err = platform::knock_ipv4(ip, *port_)) throw Error(err);
}

void Listener::close() {
    if (socket_) platform::shutdown_socket(socket_.get());
    socket_.close();
}

}  // namespace tav::net
