// Framing primitives of the app connection and the stop-time wake connection.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/python.hpp"
#include "core/server.hpp"
#include "protocol/net_error.hpp"
#include "protocol/wire.hpp"

namespace tav {

std::shared_ptr<net::Connection> TavServer::connection() {
    std::lock_guard lock(client_mutex_);
    return connection_;
}

// Only the network thread reads, and TCP carries both directions at once, so the wait for payload
// bytes holds up no writer: replies and video go out meanwhile.
std::optional<std::string> TavServer::recv_payload(size_t size) {
    if (!is_serving_ || !is_connected_) return std::nullopt;
    std::shared_ptr<net::Connection> c = connection();
    if (!c) return std::nullopt;
    std::string out;
    // A connection that ended or failed mid-payload has no payload; the session ends at its next
    // read.
    if (net::recv_exact(c->fd(), out, size) != 0) return std::nullopt;
    return out;
}

void TavServer::send_message(std::string_view message) {
    if (!is_serving_ || !is_connected_) return;
    if (std::shared_ptr<net::Connection> c = connection()) c->send(std::string(message));
}

void TavServer::shutdown_client() {
    if (std::shared_ptr<net::Connection> c = connection()) c->shutdown();
}

// No connection, no frame: nobody would see it.
bool TavServer::admit_frame(bool defer) {
    std::shared_ptr<net::Connection> c = connection();
    return c && c->admit_frame(defer);
}

nb::object TavServer::tcp_recv_py(size_t size) {
    std::optional<std::string> data;
    {
        py::Unlocked unlocked;
        data = recv_payload(size);
    }
    if (!data) return nb::none();
    return nb::bytes(data->data(), data->size());
}

void TavServer::tcp_send_py(nb::bytes cmd, nb::bytes data) {
    std::string message(cmd.c_str(), cmd.size());
    message.append(data.c_str(), data.size());
    send(message);
}

void TavServer::tcp_send_with_len_py(nb::bytes cmd, nb::bytes data) {
    wire::Writer w;
    w.raw(std::string_view(cmd.c_str(), cmd.size()));
    w.u32(static_cast<uint32_t>(data.size()));
    w.raw(std::string_view(data.c_str(), data.size()));
    send(w.bytes());
}

// A loopback connection that makes a blocking accept return. Non-blocking with a bound, so a
// full backlog cannot hold the stop.
void TavServer::stop_tcp_accept() {
    if (!server_port_) return;
    net::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) throw net::Error(errno);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(*server_port_));
    if (::connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) throw net::Error(errno);
        pollfd p{s.fd(), POLLOUT, 0};
        ::poll(&p, 1, 1000);
    }
}

}  // namespace tav
