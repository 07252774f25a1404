// The platform layer's sockets, the same cases on each system: listening and accepting on the
// loopback address, whole sends and reads, the one wait for sockets and a WakeUp, the machine's
// addresses and name.
#include <doctest/doctest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/host_name.hpp"
#include "platform/net_addresses.hpp"
#include "platform/process.hpp"
#include "platform/socket.hpp"
#include "platform/wake_up.hpp"

using namespace tav::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Pair {
    Socket ends[2] = {kNoSocket, kNoSocket};
    Pair() { REQUIRE(socket_pair(ends) == 0); }
    ~Pair() {
        for (Socket s : ends) close_socket(s);
    }
};

// wait_sockets on one socket: its answer, whether it was ready, whether the wake-up was set.
struct Waited {
    int result;
    bool ready, woken;
};
Waited wait_one(Socket s, const WakeUp* wake_up, int timeout_ms, bool for_writing = false) {
    SocketWait w{s, for_writing};
    bool woken = false;
    int r = wait_sockets({&w, 1}, wake_up, timeout_ms, &woken);
    return {r, w.ready, woken};
}

}  // namespace

TEST_CASE("a listener on the loopback address accepts a knock, which reads as the end") {
    Listening l = listen_ipv4(ipv4_address("127.0.0.1"), 0);
    REQUIRE(l.socket != kNoSocket);
    CHECK(l.port > 0);
    CHECK(wait_one(l.socket, nullptr, 0).result == 0);

    // The port is taken; an address no interface has is told apart.
    Listening again = listen_ipv4(ipv4_address("127.0.0.1"), l.port);
    CHECK(again.socket == kNoSocket);
    CHECK((again.error != 0 && !again.address_unavailable));
    CHECK(!error_text(again.error).empty());
    Listening elsewhere = listen_ipv4(ipv4_address("192.0.2.1"), 0);
    CHECK(elsewhere.socket == kNoSocket);
    CHECK(elsewhere.address_unavailable);
    CHECK(!ipv4_address("127.0.0.256"));

    REQUIRE(knock_ipv4(std::nullopt, l.port) == 0);
    Waited w = wait_one(l.socket, nullptr, 5000);
    CHECK((w.result == 1 && w.ready));
    int err = -1;
    std::optional<Accepted> a = accept_ipv4(l.socket, err);
    REQUIRE(a);
    CHECK(err == 0);
    CHECK(a->ip == "127.0.0.1");
    CHECK(a->port > 0);
    char byte;
    CHECK(receive(a->socket, &byte, 1) == 0);
    CHECK(!accept_ipv4(l.socket, err));  // nothing more waits
    CHECK(err == 0);
    close_socket(a->socket);
    close_socket(l.socket);
}

TEST_CASE("a socket pair carries four megabytes whole, then the end of the stream") {
    Pair p;
    std::string data(4 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    char byte;
    CHECK(receive_now(p.ends[1], &byte, 1) == -1);
    CHECK(would_block(socket_error()));

    int sent = -1;
    std::thread writer([&] {
        sent = send_all(p.ends[0], data, 5.0);
        close_socket(std::exchange(p.ends[0], kNoSocket));
    });
    std::string got;
    int r = recv_exact(p.ends[1], got, data.size());
    writer.join();
    CHECK(sent == 0);
    CHECK(r == 0);
    CHECK((got == data));
    CHECK(recv_exact(p.ends[1], got, 1) == -1);
    CHECK(wait_one(p.ends[1], nullptr, 0).ready);  // the end reads as ready
}

TEST_CASE("a send that no one reads stops at the stall limit") {
    Pair p;
    const std::string chunk(1 << 20, 'x');
    int err = 0;
    auto t0 = Clock::now();
    // However large the system's buffers grow, they are full long before 256 MB.
    for (int i = 0; i < 256 && err == 0; ++i) err = send_all(p.ends[0], chunk, 0.3);
    CHECK(err != 0);
    CHECK(Clock::now() - t0 < 20s);
}

TEST_CASE("wait_sockets returns for data, for a WakeUp set by another thread, and at its limit") {
    Pair p;
    WakeUp wake;
    const Socket reader = p.ends[1];

    auto t0 = Clock::now();
    Waited w = wait_one(reader, &wake, 100);
    CHECK((w.result == 0 && !w.ready && !w.woken));
    CHECK(Clock::now() - t0 >= 80ms);

    std::thread setter([&] {
        std::this_thread::sleep_for(100ms);
        wake.set();
    });
    w = wait_one(reader, &wake, 10000);
    setter.join();
    CHECK((w.result == 1 && w.woken && !w.ready));
    wake.set();  // set twice: one clear takes both
    wake.clear();
    CHECK(wait_one(reader, &wake, 0).result == 0);

    std::thread sender([&] {
        std::this_thread::sleep_for(100ms);
        CHECK(send_now(p.ends[0], "c", 1) == 1);
    });
    w = wait_one(reader, &wake, 10000);
    sender.join();
    CHECK((w.result == 1 && w.ready && !w.woken));
    char byte = 0;
    CHECK(receive(reader, &byte, 1) == 1);
    CHECK(byte == 'c');

    w = wait_one(p.ends[0], &wake, 0, true);  // room to write
    CHECK((w.result == 1 && w.ready));
    SocketWait none[2] = {{kNoSocket}, {kNoSocket, true}};
    CHECK(wait_sockets(none, nullptr, 10) == 0);
}

TEST_CASE("a shut-down socket ends another thread's wait and read") {
    Pair p;
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        shutdown_socket(p.ends[1]);
    });
    Waited w = wait_one(p.ends[1], nullptr, 10000);
    stopper.join();
    CHECK((w.result == 1 && w.ready));
    char byte;
    CHECK(receive(p.ends[1], &byte, 1) <= 0);
}

TEST_CASE("a socket goes to a child as its descriptor, or on Windows as its duplication record") {
    Pair p;
    const std::string record = socket_record(p.ends[0], current_process());
#ifdef _WIN32
    CHECK(socket_handle(p.ends[0]) == kNoHandle);
    // Made for this very process, the record gives a second socket of the same connection.
    Socket copy = socket_from_record(record);
    REQUIRE(copy != kNoSocket);
    CHECK(send_now(copy, "r", 1) == 1);
    close_socket(copy);
    char byte = 0;
    CHECK(receive(p.ends[1], &byte, 1) == 1);
    CHECK(byte == 'r');
    CHECK(socket_from_record("short") == kNoSocket);
#else
    CHECK(socket_handle(p.ends[0]) == p.ends[0]);
    CHECK(record.empty());
#endif
    // A dead end fails its sends: at once, or over TCP once the peer's reset came back.
    Socket dead = dead_end_stream();
    int err = 0;
    for (int i = 0; i < 100 && err == 0; ++i) {
        err = send_all(dead, "x", 1.0);
        std::this_thread::sleep_for(10ms);
    }
    CHECK(err != 0);
    close_socket(dead);
}

TEST_CASE("the machine has a host name and IPv4 addresses other than loopback") {
    std::optional<std::string> name = host_name();
    REQUIRE(name);
    CHECK(!name->empty());
    std::vector<std::string> addresses = net_addresses();
    CHECK(!addresses.empty());
    for (const std::string& a : addresses) {
        CHECK(ipv4_address(a));
        CHECK(a != "127.0.0.1");
        CHECK(a.rfind("169.254.", 0) != 0);
    }
}
