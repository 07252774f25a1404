// Test scaffolding: starts a copy of this program with an argument block on its standard input
// and hands it a connected TCP socket, the way the core launches a worker, on Windows and on
// POSIX from the same calls. The core's platform layer does this for real; these tests prove
// the mechanism on each system until they run against that layer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace native_test {

#ifdef _WIN32
using socket_handle = std::uintptr_t;
#else
using socket_handle = int;
#endif

// Starts Winsock where there is one; call once before using sockets.
void start_sockets();

// A TCP socket connected to 127.0.0.1:port, and a listener bound to 127.0.0.1 on a free port.
socket_handle connect_loopback(std::uint16_t port);
socket_handle listen_loopback(std::uint16_t& port);
socket_handle accept_one(socket_handle listener);
// Reads until the peer closes or max bytes arrived.
std::string receive_all(socket_handle s, std::size_t max);
bool send_all(socket_handle s, const std::string& bytes);
void close_socket(socket_handle s);

// A started copy of this program.
class Child {
  public:
    // Starts `program --child` with `socket` made available to it; the child reads its
    // argument block from standard input.
    Child(const std::string& program, socket_handle socket);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Writes the argument block: 4-byte little-endian length, the socket's hand-over record,
    // then `message`, and closes the child's standard input.
    bool send_arguments(const std::string& message);
    // The exit code, or -1 if the child is still running after `limit` (it is then killed).
    int wait(std::chrono::milliseconds limit);

  private:
    socket_handle socket_;
    std::intptr_t process_ = 0;  // a process handle on Windows, a pid elsewhere
    std::intptr_t stdin_ = -1;
    unsigned long pid_ = 0;
};

// The child's side: reads the argument block, rebuilds the socket from its record and sends the
// message through it. Returns the process exit code.
int run_child();

}  // namespace native_test
