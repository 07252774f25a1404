// The network thread: asks the host whether to serve each app that connects, serves one app at a
// time and runs its command loop; an app from the served app's address takes its place once the
// served app is quiet (a phone back after a network blip), other apps wait their turn.
#include <chrono>

#include "platform/socket.hpp"
#include "platform/socket_options.hpp"
#include "runtime/format.hpp"
#include "runtime/python.hpp"
#include "server/app_session.hpp"
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

// An app's connection: messages go out at once, and a peer that vanished is noticed. False when
// the system would notice it only after hours.
bool prepare_app_socket(platform::Socket fd) {
    platform::set_no_delay(fd);
    platform::set_unacked_limit(fd, platform::kUnackedLimitMs);
    return platform::set_keepalive(fd, platform::Keepalive{});
}

}  // namespace

std::optional<net::Accepted> AppSession::next_connection(net::Listener& listener, bool wait) {
    if (wait) {
        platform::SocketWait w{listener.socket()};
        if (platform::wait_sockets({&w, 1}, nullptr, -1) < 0) return std::nullopt;
    }
    std::optional<net::Accepted> app = listener.accept();
    // The stop's wake-up, or an app that came as the stop began: not served.
    if (!state_.is_serving) return std::nullopt;
    return app;
}

// Until the host decided, the app holds only its socket.
bool AppSession::admit(net::Accepted& app) {
    if (admission_.decide(app.ip, app.port)) return true;
    app.socket.close();
    if (state_.is_serving)  // not a stop that let the decision go
        in_python([&] {
            context_.host.async_log(
                format("Refused connection from: %s:%d", app.ip.c_str(), app.port));
        });
    return false;
}

void AppSession::serve(net::Listener& listener, const std::function<void()>& stop_server) {
    HostBridge& host = context_.host;
    std::optional<net::Accepted> next;  // admitted, served next
    bool announced = false;
    try {
        while (state_.is_serving) {
            if (!next && !waiting_.empty()) {
                next = std::move(waiting_.front());
                waiting_.pop_front();
            } else if (!next) {
                if (!announced) {
                    in_python([&] {
                        host.async_log(
                            format("Listening on TCP port %d", listener.port().value_or(0)));
                    });
                    announced = true;
                }
                std::optional<net::Accepted> app = next_connection(listener, true);
                if (!app || !admit(*app)) continue;
                next = std::move(app);
            }
            if (!state_.is_serving) break;
            net::Accepted app = std::move(*next);
            next = run(std::move(app), listener);
            announced = false;
            if (accept_failure_) {
                net::Error failure = *accept_failure_;
                accept_failure_.reset();
                throw failure;
            }
        }
    } catch (const net::Error& failure) {
        waiting_.clear();
        in_python(stop_server);
        in_python([&] { throw failure; });
        return;
    }
    waiting_.clear();
    in_python([&] { host.async_log("Stopped serving"); });
}

std::optional<net::Accepted> AppSession::run(net::Accepted app, net::Listener& listener) {
    HostBridge& host = context_.host;
    const std::string ip = app.ip;
    const int port = app.port;
    const bool watched = prepare_app_socket(app.socket.get());
    std::shared_ptr<net::Connection> connection;
    try {
        connection = net::Connection::open(std::move(app.socket));
    } catch (...) {
        in_python([&] { throw; });
        return std::nullopt;
    }
    context_.link.attach(connection);
    const platform::Socket fd = connection->socket();
    in_python([&] {  // host threads read them as properties, holding the GIL
        state_.client_ip = ip;
        state_.client_port = port;
    });
    state_.is_connected = true;
    in_python([&] { host.async_log(format("Accepted connection from: %s:%d", ip.c_str(), port)); });
    if (!watched)
        in_python([&] {
            host.async_log(
                "No keepalive on the app's connection: a phone that leaves the network is noticed "
                "late");
        });
    in_python([&] { host.deliver_host("client_connected", ip, port); });
    using Clock = std::chrono::steady_clock;
    std::optional<net::Accepted> returning;  // from this app's address: takes over once it is quiet
    Clock::time_point last_heard = Clock::now();
    bool taken_over = false;
    while (state_.is_serving) {
        int timeout = -1;
        if (returning) {
            auto quiet = Clock::now() - last_heard;
            if (quiet >= kQuietBeforeTakeover) {
                taken_over = true;
                break;
            }
            timeout = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(kQuietBeforeTakeover - quiet).count());
        }
        // Commands first: a stop the app sent behind a deferred frame request drops it. The
        // listener is watched for a returning phone while there is room for apps to wait.
        platform::SocketWait p[2] = {
            {fd}, {waiting_.size() < kMaxWaitingApps ? listener.socket() : platform::kNoSocket}};
        int ready = platform::wait_sockets(p, &connection->deferred_frame(), timeout);
        if (ready < 0) {
            int err = platform::socket_error();  // reported; the session then ends as a disconnect
            if (platform::interrupted(err)) continue;
            in_python([&] { throw net::Error(err); });
            break;
        }
        if (ready == 0) continue;
        if (p[0].ready) {
            uint8_t code;
            std::ptrdiff_t n = platform::receive(fd, &code, 1);
            if (n < 0 && platform::interrupted(platform::socket_error())) continue;
            if (n <= 0 || !state_.is_serving) break;
            last_heard = Clock::now();
            process_code(code);
        } else if (p[1].ready) {
            std::optional<net::Accepted> other;
            try {
                other = next_connection(listener, false);
            } catch (const net::Error& failure) {
                accept_failure_ = failure;
                break;
            }
            if (!other || !admit(*other)) continue;
            if (other->ip == ip && !returning)
                returning = std::move(other);
            else
                waiting_.push_back(std::move(*other));
        } else if (connection->take_deferred_frame()) {
            in_python([&] { context_.stream.serve_deferred_frame(); });
        }
    }
    state_.is_connected = false;
    in_python([&] { context_.stream.stop(); });
    in_python([&] { host.async_log(format("Disconnected from: %s:%d", ip.c_str(), port)); });
    in_python([&] {
        context_.cameras.current = nb::str("");
        host.deliver_host("current_camera_changed", context_.cameras.current);
    });
    in_python([&] { host.deliver_host("client_disconnected"); });
    context_.link.detach();
    connection->close();
    if (taken_over) return returning;
    if (returning) waiting_.push_back(std::move(*returning));  // the app left by itself first
    return std::nullopt;
}

}  // namespace tav
