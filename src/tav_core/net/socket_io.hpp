// Blocking socket I/O with the guarantees the app connection needs: whole messages, no SIGPIPE,
// and no send that waits without bound on an app that stopped reading.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tav::net {

// A send that makes no progress for this long ends the connection as lost.
inline constexpr double kSendStallSeconds = 5.0;

// Owns a socket descriptor.
class Socket {
  public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() { close(); }
    Socket(Socket&& o) noexcept : fd_(o.release()) {}
    Socket& operator=(Socket&& o) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void close();

  private:
    int fd_ = -1;
};

// Puts all of `data` on the connection. Returns 0, or the errno of the failure; ETIMEDOUT when
// nothing could be sent for `stall_seconds` (the connection is then shut down).
int send_all(int fd, std::string_view data, double stall_seconds = kSendStallSeconds);

// Reads exactly `size` bytes into `out`. Returns 0; -1 when the stream ended first; or the errno.
int recv_exact(int fd, std::string& out, size_t size);

// Text of an errno value.
std::string error_text(int err);

}  // namespace tav::net
