// The link to the connected app, as every piece of the server uses it: the current connection (or
// none), whole messages handed to it, request payloads read from it (network thread only), and
// whether a new frame may be made. Threads and locks: docs/threads.md.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "net/connection.hpp"
#include "net/serving_state.hpp"

namespace tav::net {

class ClientLink {
  public:
    explicit ClientLink(const ServingState& state) : state_(state) {}

    // The current app connection, or none.
    std::shared_ptr<Connection> connection();
    void attach(std::shared_ptr<Connection> connection);
    void detach();

    // Hands one whole message to the app connection and returns at once (dropped when no app is
    // connected): it never waits for the network.
    void send(std::string_view message);
    void send_code(uint8_t code) { send(std::string_view(reinterpret_cast<char*>(&code), 1)); }
    // Code, 32-bit length, payload.
    void send_with_length(std::string_view code, std::string_view payload);
    // Exactly `size` bytes of request payload, or nothing when the connection is gone or fails.
    // Network thread, without the GIL.
    std::optional<std::string> recv_payload(size_t size);
    // Ends the current app connection (any blocked read returns).
    void shutdown();
    // Whether a new frame may be made now: the app has received nearly all sent before. A refused
    // request the app waits on (`defer`) is served later by the network thread.
    bool admit_frame(bool defer);

  private:
    const ServingState& state_;
    std::mutex mutex_;
    std::shared_ptr<Connection> connection_;
};

}  // namespace tav::net
