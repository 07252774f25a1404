#include "net/socket_io.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tav::net {

Socket& Socket::operator=(Socket&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.release();
    }
    return *this;
}

void Socket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int send_all(int fd, std::string_view data, double stall_seconds) {
    using clock = std::chrono::steady_clock;
    auto last_progress = clock::now();
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            last_progress = clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        double left =
            stall_seconds - std::chrono::duration<double>(clock::now() - last_progress).count();
        if (left <= 0) {
            ::shutdown(fd, SHUT_RDWR);
            return ETIMEDOUT;
        }
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno != EINTR) return errno;
    }
    return 0;
}

int recv_exact(int fd, std::string& out, size_t size) {
    out.resize(size);
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, out.data() + got, size - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            return -1;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

std::string error_text(int err) { return std::strerror(err); }

}  // namespace tav::net
