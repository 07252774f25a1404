// Sockets as the app connection uses them: owned, and sent to with the connection's stall limit.
// The calls themselves: platform/socket.hpp.
#pragma once

#include <string_view>
#include <utility>

#include "platform/socket.hpp"

namespace tav::net {

// A send that makes no progress for this long ends the connection as lost.
inline constexpr double kSendStallSeconds = 5.0;

// Owns a socket.
class Socket {
  public:
    Socket() = default;
    explicit Socket(platform::Socket s) : s_(s) {}
    ~Socket() { close(); }
    Socket(Socket&& o) noexcept : s_(o.release()) {}
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) {
            close();
            s_ = o.release();
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    platform::Socket get() const { return s_; }
    explicit operator bool() const { return s_ != platform::kNoSocket; }
    platform::Socket release() { return std::exchange(s_, platform::kNoSocket); }
    void close() { platform::close_socket(release()); }

  private:
    platform::Socket s_ = platform::kNoSocket;
};

// Puts all of `data` on the connection; see platform::send_all.
inline int send_all(platform::Socket s, std::string_view data) {
    return platform::send_all(s, data, kSendStallSeconds);
}

using platform::error_text;
using platform::recv_exact;

}  // namespace tav::net
