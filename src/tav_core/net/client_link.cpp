#include "net/client_link.hpp"

#include "net/socket_io.hpp"
#include "net/wire.hpp"

namespace tav::net {

std::shared_ptr<Connection> ClientLink::connection() {
    std::lock_guard lock(mutex_);
    return connection_;
}

void ClientLink::attach(std::shared_ptr<Connection> connection) {
    std::lock_guard lock(mutex_);
    connection_ = std::move(connection);
}

void ClientLink::detach() {
    std::lock_guard lock(mutex_);
    connection_.reset();
}

void ClientLink::send(std::string_view message) {
    if (!state_.is_serving || !state_.is_connected) return;
    if (std::shared_ptr<Connection> c = connection()) c->send(std::string(message));
}

void ClientLink::send_with_length(std::string_view code, std::string_view payload) {
    wire::Writer w;
    w.raw(code).u32(static_cast<uint32_t>(payload.size())).raw(payload);
    send(w.bytes());
}

// Only the network thread reads, and TCP carries both directions at once, so the wait for payload
// bytes holds up no writer: replies and video go out meanwhile.
std::optional<std::string> ClientLink::recv_payload(size_t size) {
    if (!state_.is_serving || !state_.is_connected) return std::nullopt;
    std::shared_ptr<Connection> c = connection();
    if (!c) return std::nullopt;
    std::string out;
    // A connection that ended or failed mid-payload has no payload; the session ends at its next
    // read.
    if (recv_exact(c->socket(), out, size) != 0) return std::nullopt;
    return out;
}

void ClientLink::shutdown() {
    if (std::shared_ptr<Connection> c = connection()) c->shutdown();
}

// No connection, no frame: nobody would see it.
bool ClientLink::admit_frame(bool defer) {
    std::shared_ptr<Connection> c = connection();
    return c && c->admit_frame(defer);
}

}  // namespace tav::net
