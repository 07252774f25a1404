// The platform layer on its own, without Python: built and run against the portable POSIX files
// here, and built for macOS (scripts/check_platforms.sh), so that a call the system lacks fails
// at once. Exits 0 when every check holds; prints the first that does not.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/descriptors.hpp"
#include "platform/process.hpp"
#include "platform/secure_random.hpp"
#include "platform/shared_block.hpp"
#include "platform/shared_semaphore.hpp"
#include "platform/socket.hpp"
#include "platform/wake_up.hpp"

using namespace tav::platform;

#define CHECK(x)                                                          \
    do {                                                                  \
        if (!(x)) {                                                       \
            std::fprintf(stderr, "failed: %s (line %d)\n", #x, __LINE__); \
            std::exit(1);                                                 \
        }                                                                 \
    } while (0)

int main(int argc, char** argv) {
    if (argc > 1) return 0;  // spawned below: a child that ends at once

    SharedSemaphore lock;
    CHECK(lock.acquire(false, 0) && !lock.acquire(false, 0) && lock.locked());
    CHECK(!lock.acquire(true, 0.05));  // a limited wait ends
    lock.release();
    bool refused = false;
    try {
        lock.release();
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    CHECK(refused && !lock.locked());

    // A waiter in another thread wakes when the holder releases.
    CHECK(lock.acquire(true, -1));
    std::thread waiter([&] {
        CHECK(lock.acquire(true, 5));
        lock.release();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    lock.release();
    waiter.join();

    // A forked child shares it; the holder's pid lets the parent take it back once the child died.
    auto child = fork_child([&] { return lock.acquire(true, 5) ? 7 : 1; }, lock.handles());
    CHECK(child && wait_process(*child, 10));
    CHECK(lock.locked() && lock.recover(*child) && !lock.locked());

    // A spawned child gets exactly what it is handed.
    HandOver hand_over{lock.handles(), {}};
    Spawned spawned = spawn({argv[0], "child"}, {}, hand_over);
    CHECK(hand_over.pass(lock.handles()[0]) == 3);
    CHECK(write_all(spawned.input.get(), "x"));
    CHECK(wait_process(spawned.process, 10));
    bool missing = false;
    try {
        HandOver nothing;
        spawn({"/nonexistent/program"}, {}, nothing);
    } catch (const std::system_error&) {
        missing = true;
    }
    CHECK(missing);

    // Writing to a pipe whose reader is gone fails, and does not kill the writer.
    std::signal(SIGPIPE, SIG_DFL);
    HandOver nothing;
    Spawned gone = spawn({argv[0], "child"}, {}, nothing);
    CHECK(wait_process(gone.process, 10));
    CHECK(!write_all(gone.input.get(), "x"));

    unsigned char random[8] = {};
    secure_random(random, sizeof random);
    char name[40];
    std::snprintf(name, sizeof name, "/tavcheck_%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3]);
    Mapping made = create_block(name, 4096, "trailer");
    CHECK(made.data && made.error == 0);
    CHECK(create_block(name, 4096, "").error == EEXIST);
    std::memcpy(made.data, "shared", 6);
    Mapping seen = attach_block(name, 4096);
    CHECK(seen.data && std::memcmp(seen.data, "shared", 6) == 0);
    CHECK(attach_block(name, 1 << 20).error == EINVAL);
    unmap_block(seen.data, 4096);
    unmap_block(made.data, 4096);
    CHECK(remove_block(name) == 0 && remove_block(name) == ENOENT);

    // A thread waiting for sockets wakes when the wake-up is set, and a cleared one waits again.
    WakeUp wake;
    bool woken = false;
    CHECK(wait_sockets({}, &wake, 0, &woken) == 0 && !woken);
    std::thread setter([&] { wake.set(); });
    CHECK(wait_sockets({}, &wake, 5000, &woken) == 1 && woken);
    setter.join();
    wake.set();
    wake.clear();
    CHECK(wait_sockets({}, &wake, 0) == 0);

    // A listening socket on loopback takes a knock; a local pair carries bytes both ways.
    Listening listening = listen_ipv4(ipv4_address("127.0.0.1"), 0);
    CHECK(listening.socket != kNoSocket && listening.port > 0 && !ipv4_address("no address"));
    CHECK(knock_ipv4(std::nullopt, listening.port) == 0);
    SocketWait incoming{listening.socket};
    CHECK(wait_sockets({&incoming, 1}, nullptr, 5000) == 1 && incoming.ready);
    int error = -1;
    std::optional<Accepted> knocked = accept_ipv4(listening.socket, error);
    CHECK(knocked && error == 0 && knocked->ip == "127.0.0.1");
    close_socket(knocked->socket);
    CHECK(!accept_ipv4(listening.socket, error) && error == 0);  // nothing waits
    close_socket(listening.socket);
    Socket ends[2];
    CHECK(socket_pair(ends) == 0);
    char byte = 0;
    CHECK(receive_now(ends[1], &byte, 1) < 0 && would_block(socket_error()));
    CHECK(send_now(ends[0], "p", 1) == 1);
    SocketWait readable{ends[1]};
    CHECK(wait_sockets({&readable, 1}, &wake, 5000) == 1 && readable.ready);
    CHECK(receive(ends[1], &byte, 1) == 1 && byte == 'p');
    close_socket(ends[1]);
    CHECK(send_all(ends[0], "gone", 1) != 0);  // a peer that is gone: an error, not SIGPIPE
    close_socket(ends[0]);

    ProcessStamp me = stamp_of_this_process();
    CHECK(me.pid == static_cast<uint64_t>(current_process()) && !stamped_process_gone(me));
    std::puts("platform layer: all checks passed");
    return 0;
}
