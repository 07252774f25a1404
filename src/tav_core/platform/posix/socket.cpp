// Sockets as descriptors. How a system makes them: socket_parts.cpp.
#include "platform/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/socket_parts.hpp"

namespace tav::platform {

namespace {

// No SIGPIPE for a peer that is gone. Where the flag is missing (macOS), the sockets carry
// SO_NOSIGPIPE from their making instead.
#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif

// The socket closes with the scope unless released.
struct Owned {
    Socket s;
    ~Owned() { close_socket(s); }
    Socket release() { return std::exchange(s, kNoSocket); }
};

sockaddr_in ipv4(std::optional<uint32_t> address, uint32_t otherwise, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address ? *address : htonl(otherwise);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

}  // namespace

int socket_error() { return errno; }
bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }
bool interrupted(int err) { return err == EINTR; }
std::string error_text(int err) { return std::strerror(err); }

void close_socket(Socket s) {
    if (s != kNoSocket) ::close(s);
}

void shutdown_socket(Socket s) { ::shutdown(s, SHUT_RDWR); }

Socket duplicate_socket(Socket s) { return ::fcntl(s, F_DUPFD_CLOEXEC, 0); }

int socket_pair(Socket (&ends)[2]) { return detail::new_socket_pair(ends); }

Handle socket_handle(Socket s) { return s; }

// A descriptor is handed over as it is.
std::string socket_record(Socket, int) {
    errno = ENOTSUP;
    return {};
}

Socket socket_from_record(std::string_view) {
    errno = ENOTSUP;
    return kNoSocket;
}

std::ptrdiff_t send_now(Socket s, const void* data, size_t size) {
    return ::send(s, data, size, kNoSignal | MSG_DONTWAIT);
}

std::ptrdiff_t receive_now(Socket s, void* data, size_t size) {
    return ::recv(s, data, size, MSG_DONTWAIT);
}

std::ptrdiff_t receive(Socket s, void* data, size_t size) { return ::recv(s, data, size, 0); }

int send_all(Socket s, std::string_view data, double stall_seconds) {
    using clock = std::chrono::steady_clock;
    auto last_progress = clock::now();
    while (!data.empty()) {
        ssize_t n = send_now(s, data.data(), data.size());
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
            ::shutdown(s, SHUT_RDWR);
            return ETIMEDOUT;
        }
        pollfd p{s, POLLOUT, 0};
        int r = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno != EINTR) return errno;
    }
    return 0;
}

int recv_exact(Socket s, std::string& out, size_t size) {
    out.resize(size);
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(s, out.data() + got, size - got, 0);
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

int wait_sockets(std::span<SocketWait> sockets, const WakeUp* wake_up, int timeout_ms,
                 bool* woken) {
    constexpr size_t kMost = 8;
    pollfd p[kMost + 1];
    const size_t n = std::min(sockets.size(), kMost);
    for (size_t i = 0; i < n; ++i)
        p[i] = {sockets[i].socket, static_cast<short>(sockets[i].for_writing ? POLLOUT : POLLIN),
                0};
    p[n] = {wake_up ? wake_up->fd() : -1, POLLIN, 0};
    const int ready = ::poll(p, n + 1, timeout_ms < 0 ? -1 : timeout_ms);
    for (size_t i = 0; i < n; ++i) sockets[i].ready = ready > 0 && p[i].revents != 0;
    if (woken) *woken = ready > 0 && p[n].revents != 0;
    return ready;
}

std::optional<uint32_t> ipv4_address(const std::string& text) {
    in_addr addr{};
    if (::inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
    return addr.s_addr;
}

Listening listen_ipv4(std::optional<uint32_t> address, int port) {
    sockaddr_in addr = ipv4(address, INADDR_ANY, port);
    Owned s{detail::new_stream_socket(AF_INET, true)};
    if (s.s == kNoSocket) throw std::system_error(errno, std::generic_category(), "socket");
    int one = 1;
    if (::setsockopt(s.s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        throw std::system_error(errno, std::generic_category(), "setsockopt");
    if (::bind(s.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Listening{kNoSocket, 0, errno, errno == EADDRNOTAVAIL};
    socklen_t len = sizeof addr;
    if (::getsockname(s.s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::system_error(errno, std::generic_category(), "getsockname");
    if (::listen(s.s, 1) != 0) throw std::system_error(errno, std::generic_category(), "listen");
    return Listening{s.release(), ntohs(addr.sin_port), 0, false};
}

std::optional<Accepted> accept_ipv4(Socket listening, int& error) {
    error = 0;
    sockaddr_in peer{};
    Socket s = detail::accept_blocking(listening, peer);
    if (s == kNoSocket) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
            error = errno;
        return std::nullopt;
    }
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    return Accepted{s, ip, ntohs(peer.sin_port)};
}

int knock_ipv4(std::optional<uint32_t> address, int port) {
    Owned s{detail::new_stream_socket(AF_INET, true)};
    if (s.s == kNoSocket) return errno;
    sockaddr_in addr = ipv4(address, INADDR_LOOPBACK, port);
    if (::connect(s.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) return errno;
        pollfd p{s.s, POLLOUT, 0};
        ::poll(&p, 1, 1000);
    }
    return 0;
}

}  // namespace tav::platform
