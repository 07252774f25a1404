// The network thread: accepts one app at a time and runs its session.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/python.hpp"
#include "core/server.hpp"
#include "protocol/net_error.hpp"

namespace tav {

namespace {

constexpr const char* kThreadName = "tavrel-network";

// Runs `fn` holding the GIL; a host error is reported and the thread goes on.
template <typename F>
void in_python(F&& fn) {
    py::Gil gil;
    try {
        fn();
    } catch (...) {
        py::report_current_exception(kThreadName);
    }
}

std::string address_line(const char* fmt, const std::string& ip, int port) {
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, ip.c_str(), port);
    return buf;
}

}  // namespace

void TavServer::handle_tcp_socket() {
    const int listen_fd = srv_socket_.fd();
    while (is_serving_) {
        in_python([&] {
            char line[64];
            std::snprintf(line, sizeof line, "Listening on TCP port %d", server_port_.value_or(0));
            async_log(line);
        });
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            in_python([&] { stop_serving(); });
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
        {
            std::lock_guard lock(client_mutex_);
            connection_ = connection;
        }
        if (is_serving_) {
            char ip[INET_ADDRSTRLEN] = "";
            ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
            run_session(*connection, ip, ntohs(peer.sin_port));
        }
        {
            std::lock_guard lock(client_mutex_);
            connection_.reset();
        }
        connection->close();
    }
    in_python([&] { async_log("Stopped serving"); });
}

void TavServer::run_session(net::Connection& connection, const std::string& ip, int port) {
    const int fd = connection.fd();
    in_python([&] {  // host threads read them as properties, holding the GIL
        client_ip_ = ip;
        client_port_ = port;
    });
    is_connected_ = true;
    in_python([&] { async_log(address_line("Accepted connection from: %s:%d", ip, port)); });
    in_python([&] {
        async_callback(tavbase_.attr("client_connected"),
                       nb::borrow<nb::args>(nb::make_tuple(self(), ip, port)));
    });
    while (is_serving_) {
        // Commands first: a stop the app sent behind a deferred frame request drops it.
        pollfd p[2] = {{fd, POLLIN, 0}, {connection.deferred_frame_fd(), POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (!p[0].revents) {
            if (connection.take_deferred_frame()) in_python([&] { serve_deferred_frame(); });
            continue;
        }
        uint8_t code;
        ssize_t n = ::recv(fd, &code, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !is_serving_) break;
        process_code(code);
    }
    is_connected_ = false;
    in_python([&] { stop_streaming(); });
    in_python([&] { async_log(address_line("Disconnected from: %s:%d", ip, port)); });
    in_python([&] {
        current_camera_ = nb::str("");
        async_callback(tavbase_.attr("current_camera_changed"),
                       nb::borrow<nb::args>(nb::make_tuple(self(), current_camera_)));
    });
    in_python([&] { deliver_host("client_disconnected"); });
}

}  // namespace tav
