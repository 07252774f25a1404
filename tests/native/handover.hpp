// What the test cases share: copies of this program started through the platform layer the way
// the core starts a worker (spawned, handed the shared objects, its argument block on standard
// input), and the TCP sockets of the hand-over case. The sockets are this program's own until
// the platform layer offers them on Windows too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.hpp"

namespace native_test {

namespace platform = tav::platform;

// ---- sockets -------------------------------------------------------------------------------
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
// What a child is handed for the socket at its spawn (POSIX: the descriptor; Windows: nothing).
std::vector<platform::Handle> socket_handles(socket_handle s);
// The socket as a spawned child reaches it: its descriptor number (handed over by the spawn) or,
// on Windows, its duplication record made for the child's pid; and the child's side.
std::string socket_share(socket_handle s, const platform::HandOver& to);
socket_handle shared_socket(const std::string& share);

// ---- spawned copies of this program --------------------------------------------------------
// The argument block: its length (uint32 little-endian), then each field as its length and bytes.
std::string argument_block(const std::vector<std::string>& fields);
// A share value (a handle's value in the child) as a field.
std::string number(std::uint64_t value);
std::uint64_t number_of(const std::string& field);

// `program --child`, spawned by the platform layer with `handed` and `env` ("NAME=value" each).
class Child {
  public:
    // `args` follow "--child" on its command line.
    explicit Child(std::vector<platform::Handle> handed = {}, std::vector<std::string> env = {},
                   std::vector<std::string> args = {});
    ~Child();  // kills a child that still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    const platform::HandOver& hand_over() const { return hand_over_; }
    const platform::Process& process() const { return spawned_.process; }
    // Writes the argument block of `fields`; false when the child is gone.
    bool send(const std::vector<std::string>& fields);
    // The exit status, or -1 when it still ran after `seconds` (it is then killed).
    int wait(double seconds);
    // What it wrote on its standard output and error (once it ended).
    std::string output();

  private:
    platform::HandOver hand_over_;
    platform::Spawned spawned_;
    bool ended_ = false;
};

// What a child that made a stamped block reports about it.
struct CreatorReport {
    char name[32];
    platform::ProcessStamp stamp;
};

// The child's side: reads the argument block and runs the role its first field names; `args`
// are its command line's after "--child". Returns the process exit code.
int run_child(const std::vector<std::string>& args);

}  // namespace native_test
