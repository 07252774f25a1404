// The listening socket on which apps connect.
#pragma once

#include <optional>
#include <string>

#include "net/socket_io.hpp"

namespace tav::net {

// A connection taken from the listening socket, with its peer's address.
struct Accepted {
    Socket socket;
    std::string ip;
    int port = 0;
};

class Listener {
  public:
    // Binds `port` (0: any free port) on `address` (an IPv4 address of this machine; none: every
    // address) and listens. False when the port is taken or out of range; std::invalid_argument
    // naming the address when it is no IPv4 address of this machine; std::system_error for any
    // other failure. Nothing stays open after a failure.
    bool open(int port, const std::optional<std::string>& address = std::nullopt);
    platform::Socket socket() const { return socket_.get(); }
    // The bound port, from open() on (it stays known after close()).
    std::optional<int> port() const { return port_; }
    // The address given to open(), or none for every address.
    const std::optional<std::string>& address() const { return address_; }
    // The next waiting connection, without waiting (the socket is non-blocking; wait for it to
    // turn readable): none when no connection waits. net::Error when accepting fails for good.
    std::optional<Accepted> accept();
    // A loopback connection (to the bound address) that makes a waiting accept return.
    // Non-blocking with a bound, so a full backlog cannot hold the stop. net::Error when it
    // cannot even try.
    void wake_accept();
    void close();

  private:
    Socket socket_;
    std::optional<int> port_;
    std::optional<std::string> address_;
};

}  // namespace tav::net
