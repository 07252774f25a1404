// The network thread: accepts one app at a time and runs its command loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/format.hpp"
#include "core/python.hpp"
#include "protocol/app_session.hpp"
#include "protocol/net_error.hpp"
#include "streaming/stream.hpp"

namespace tav {

namespace {

// Runs `fn` holding the GIL; a host error is reported and the thread goes on.
template <typename F>
void in_python(F&& fn) {
    py::Gil gil;
    try {
        fn();
    } catch (...) {
        py::report_current_exception(kNetworkThread);
    }
}

}  // namespace

void AppSession::serve(net::Listener& listener, const std::function<void()>& stop_server) {
    HostBridge& host = context_.host;
    const int listen_fd = listener.fd();
    while (state_.is_serving) {
        in_python([&] {
            host.async_log(format("Listening on TCP port %d", listener.port().value_or(0)));
        });
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            in_python(stop_server);
            if (err == ECONNABORTED) return;
            in_python([&] { throw net::Error(err); });
            return;
        }
        // Messages are small and often follow each other (an echo, then an error code): without
        // this each one after the first waits for the app's delayed acknowledgement.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::shared_ptr<net::Connection> connection;
        try {
            connection = net::Connection::open(net::Socket(fd));
        } catch (...) {
            in_python([&] { throw; });
            continue;
        }
        context_.link.attach(connection);
        if (state_.is_serving) {
            char ip[INET_ADDRSTRLEN] = "";
            ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
            run(*connection, ip, ntohs(peer.sin_port));
        }
        context_.link.detach();
        connection->close();
    }
    in_python([&] { host.async_log("Stopped serving"); });
}

void AppSession::run(net::Connection& connection, const std::string& ip, int port) {
    HostBridge& host = context_.host;
    const int fd = connection.fd();
    in_python([&] {  // host threads read them as properties, holding the GIL
        state_.client_ip = ip;
        state_.client_port = port;
    });
    state_.is_connected = true;
    in_python([&] { host.async_log(format("Accepted connection from: %s:%d", ip.c_str(), port)); });
    in_python([&] { host.deliver_host("client_connected", ip, port); });
    while (state_.is_serving) {
        // Commands first: a stop the app sent behind a deferred frame request drops it.
        pollfd p[2] = {{fd, POLLIN, 0}, {connection.deferred_frame_fd(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!p[0].revents) {
            if (connection.take_deferred_frame())
                in_python([&] { context_.stream.serve_deferred_frame(); });
            continue;
        }
        uint8_t code;
        ssize_t n = ::recv(fd, &code, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !state_.is_serving) break;
        process_code(code);
    }
    state_.is_connected = false;
    in_python([&] { context_.stream.stop(); });
    in_python([&] { host.async_log(format("Disconnected from: %s:%d", ip.c_str(), port)); });
    in_python([&] {
        context_.cameras.current = nb::str("");
        host.deliver_host("current_camera_changed", context_.cameras.current);
    });
    in_python([&] { host.deliver_host("client_disconnected"); });
}

}  // namespace tav
