// The listening socket on which apps connect.
#pragma once

#include <optional>

#include "protocol/socket_io.hpp"

namespace tav::net {

class Listener {
  public:
    // Binds every address at `port` (0: any free port) and listens. False when the port is taken
    // or out of range; std::system_error for any other failure.
    bool open(int port);
    int fd() const { return socket_.fd(); }
    // The bound port, from open() on (it stays known after close()).
    std::optional<int> port() const { return port_; }
    // A loopback connection that makes a blocking accept return. Non-blocking with a bound, so a
    // full backlog cannot hold the stop. net::Error when it cannot even try.
    void wake_accept();
    void close();

  private:
    Socket socket_;
    std::optional<int> port_;
};

}  // namespace tav::net
