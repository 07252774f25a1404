// Sockets: the system's socket type and every call the core makes on a socket, creating one
// included, with waiting for sockets together with a WakeUp in one call. Errors are the system's
// error numbers (errno values on POSIX, WSA error codes on Windows), 0 for none; error_text gives
// their text. On Windows every socket made here is non-blocking underneath; the calls below that
// wait do so themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/descriptors.hpp"
#include "platform/wake_up.hpp"

namespace tav::platform {

#ifdef _WIN32
using Socket = std::uintptr_t;
inline constexpr Socket kNoSocket = ~Socket{0};
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
#endif

// ---- errors -----------------------------------------------------------------------------------
// The error of this thread's last failed socket call.
int socket_error();
// The call would have had to wait (a non-blocking socket).
bool would_block(int err);
// A signal interrupted the call: try again.
bool interrupted(int err);
std::string error_text(int err);

// ---- a socket's life ----------------------------------------------------------------------------
void close_socket(Socket s);
// Ends both directions: a thread blocked on the socket returns, the peer sees the end.
void shutdown_socket(Socket s);
// A second socket for the same connection, not inherited by child processes; kNoSocket on
// failure (socket_error()).
Socket duplicate_socket(Socket s);
// A connected pair of local stream sockets, not inherited by child processes. 0 or the error.
int socket_pair(Socket (&ends)[2]);
// One end of a stream whose other end is closed already: its sends fail (on Windows, a loopback
// TCP pair, from the first after the peer's reset came back). Throws std::system_error.
inline Socket dead_end_stream() {
    Socket ends[2];
    if (int err = socket_pair(ends))
        throw std::system_error(err, std::system_category(), "socket pair");
    close_socket(ends[0]);
    return ends[1];
}

// ---- a socket handed to a spawned child ---------------------------------------------------------
// POSIX hands a child the socket's descriptor (a HandOver handle); Windows hands it the socket's
// duplication record made for the child's process id, from which the child makes its own socket.
// The handle a HandOver passes for `s`: its descriptor; none (kNoHandle) on Windows.
Handle socket_handle(Socket s);
// Windows: the duplication record of `s` for the process `pid`, as bytes. Empty on failure
// (socket_error()), and always on POSIX.
std::string socket_record(Socket s, int pid);
// A socket of this process, not inherited, from such a record; kNoSocket on failure (and always
// on POSIX).
Socket socket_from_record(std::string_view record);

// ---- data ---------------------------------------------------------------------------------------
// What the socket takes at once, without waiting and without a signal for a peer that is gone:
// the bytes sent, or -1 (socket_error()).
std::ptrdiff_t send_now(Socket s, const void* data, size_t size);
// What has arrived, without waiting: the bytes read, 0 at the end of the stream, or -1.
std::ptrdiff_t receive_now(Socket s, void* data, size_t size);
// Waits for at least one byte: the bytes read, 0 at the end of the stream, or -1.
std::ptrdiff_t receive(Socket s, void* data, size_t size);

// Puts all of `data` on the connection. Returns 0, or the error of the failure; (WSA)ETIMEDOUT when
// nothing could be sent for `stall_seconds` (the connection is then shut down).
int send_all(Socket s, std::string_view data, double stall_seconds);
// Reads exactly `size` bytes into `out`. Returns 0; -1 when the stream ended first; or the error.
int recv_exact(Socket s, std::string& out, size_t size);

// ---- waiting ------------------------------------------------------------------------------------
struct SocketWait {
    Socket socket = kNoSocket;  // kNoSocket: left out
    bool for_writing = false;   // room to write; otherwise data, the end of the stream or an error
    bool ready = false;         // the answer
};
// Waits until one of `sockets` (at most eight) is ready or `wake_up` (may be null) is set, for at
// most `timeout_ms` (negative: without a limit). Returns the number ready, a set wake-up counted
// (and told in `woken`, may be null); 0 when the time ran out; -1 on failure (socket_error()).
int wait_sockets(std::span<SocketWait> sockets, const WakeUp* wake_up, int timeout_ms,
                 bool* woken = nullptr);

// ---- IPv4 listening and connecting -------------------------------------------------------------
// An IPv4 address in dotted-decimal text, in the form the calls below take; none when the text is
// no such address.
std::optional<uint32_t> ipv4_address(const std::string& text);

struct Listening {
    Socket socket = kNoSocket;  // kNoSocket: the bind failed, with `error`
    int port = 0;               // the port bound (the system's choice for port 0)
    int error = 0;
    bool address_unavailable = false;  // the bind failed: no interface has that address
};
// A non-blocking listening socket on `address` (none: every interface) and `port` (0 to 65535),
// its address reusable at once, a backlog of one, not inherited by child processes. Throws
// std::system_error when a socket cannot be made or set up.
Listening listen_ipv4(std::optional<uint32_t> address, int port);

struct Accepted {
    Socket socket = kNoSocket;
    std::string ip;  // the peer's address, dotted-decimal
    int port = 0;
};
// Takes the next connection waiting on `listening`: a blocking socket, not inherited by child
// processes. None when no connection waits (any more: the peer may have aborted it) with `error`
// 0, or when accepting failed, with `error` set.
std::optional<Accepted> accept_ipv4(Socket listening, int& error);

// Connects to `port` on `address` (none: the loopback address) and closes again, waiting up to a
// second for the connection: wakes a thread that waits for a connection there. 0 or the error.
int knock_ipv4(std::optional<uint32_t> address, int port);

}  // namespace tav::platform
