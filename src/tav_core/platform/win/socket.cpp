// Winsock. Every socket made here is non-blocking and not inherited by child processes: Windows
// has no per-call "don't wait" flag, and the app's socket is read by one thread while another
// writes it, so the socket stays non-blocking and the calls that wait (receive, recv_exact,
// send_all) wait in WSAPoll themselves.
//
// The one wait for sockets and a WakeUp is WSAPoll, not WSAEventSelect with
// WSAWaitForMultipleEvents: a socket carries only one event selection at a time (the second
// thread's WSAEventSelect silently replaces the first's, and the network thread and the writer
// wait on the app's socket at once, one to read, one to write), and FD_WRITE is signalled only
// after a send failed with WSAEWOULDBLOCK, so a wait for room to write could sleep through the
// room. WSAPoll is level-triggered and any number of threads may poll one socket; the WakeUp is a
// loopback socket pair it watches with the rest (wake_up.cpp).
//
// WSAPoll does not return for a socket that another thread shut down here (POSIX poll() does:
// the stop of a session relies on it), so every wait below registers the sockets it waits for,
// with a wake-up socket of its thread; shutdown_socket sets the wake-ups of the threads waiting
// for that socket, and a socket once shut down reads as ready until it is closed.
#include "platform/socket.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tav::platform {

namespace {

// Winsock is started once, by the first call that makes a socket, and never cleaned up: another
// thread may still use a socket while the process ends.
void start_winsock() {
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) throw std::system_error(started, std::system_category(), "WSAStartup");
}

// The socket closes with the scope unless released.
struct Owned {
    Socket s;
    ~Owned() { close_socket(s); }
    Socket release() { return std::exchange(s, kNoSocket); }
};

// Non-blocking, and neither inherited by children nor delayed by Nagle when asked. False (the
// error in WSAGetLastError) when the socket refused.
bool prepare(Socket s, bool no_delay = false) {
    u_long one = 1;
    if (::ioctlsocket(s, FIONBIO, &one) != 0) return false;
    // Sockets made here carry WSA_FLAG_NO_HANDLE_INHERIT; an accepted one takes its listener's
    // flags on most systems, but not on every layered provider.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    BOOL yes = TRUE;
    return !no_delay || ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&yes),
                                     sizeof yes) == 0;
}

Socket new_tcp_socket() {
    start_winsock();
    Socket s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return kNoSocket;
    if (prepare(s)) return s;
    int err = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(err);
    return kNoSocket;
}

sockaddr_in ipv4(std::optional<uint32_t> address, uint32_t otherwise, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address ? *address : htonl(otherwise);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

int clamp_size(size_t size) { return static_cast<int>(std::min<size_t>(size, INT_MAX)); }

// WSAPoll on one socket, for the making of a socket pair: false when the time ran out.
bool poll_one(Socket s, short events, int timeout_ms) {
    WSAPOLLFD p{s, events, 0};
    return ::WSAPoll(&p, 1, timeout_ms) != 0;
}

// The wake-up of one thread's waits: a loopback pair, made at its first wait.
struct ThreadWake {
    Socket ends[2] = {kNoSocket, kNoSocket};  // read, write
    ThreadWake() {
        if (socket_pair(ends) != 0) ends[0] = ends[1] = kNoSocket;
    }
    ~ThreadWake() {
        for (Socket s : ends) close_socket(s);
    }
};

// The sockets threads wait for, and those shut down. Never destroyed: a thread may still wait
// while the process ends.
struct Waits {
    std::mutex mutex;
    std::multimap<Socket, Socket> waiting;  // a socket -> the wake-up of a thread waiting for it
    std::set<Socket> shut;
};
Waits& waits() {
    static Waits* w = new Waits;
    return *w;
}

// Marks the entries of `p` whose socket was shut down; holding the mutex.
int mark_shut(Waits& w, WSAPOLLFD* p, ULONG n) {
    int ready = 0;
    for (ULONG i = 0; i < n; ++i) {
        if (w.shut.count(p[i].fd)) p[i].revents |= POLLHUP;
        ready += p[i].revents != 0;
    }
    return ready;
}

// WSAPoll over the `n` entries of `p`, which has room for one more, ended also by a shutdown of
// one of the sockets. The number ready, 0 when the time ran out, -1 on failure.
int poll_sockets(WSAPOLLFD* p, ULONG n, int timeout_ms) {
    thread_local ThreadWake wake;
    Waits& w = waits();
    for (ULONG i = 0; i < n; ++i) p[i].revents = 0;
    std::vector<std::multimap<Socket, Socket>::iterator> mine;
    if (wake.ends[0] != kNoSocket) {
        std::lock_guard lock(w.mutex);
        if (int ready = mark_shut(w, p, n)) return ready;
        for (ULONG i = 0; i < n; ++i) mine.push_back(w.waiting.emplace(p[i].fd, wake.ends[1]));
        p[n] = {wake.ends[0], POLLIN, 0};
    }
    const ULONG count = mine.empty() ? n : n + 1;
    int ready = ::WSAPoll(p, count, timeout_ms);
    if (mine.empty()) return ready;
    const int err = ::WSAGetLastError();
    std::lock_guard lock(w.mutex);
    for (auto it : mine) w.waiting.erase(it);
    if (ready == SOCKET_ERROR) {
        ::WSASetLastError(err);
        return -1;
    }
    // No shutdown reaches this thread's wake-up once its entries are gone: emptied now, it
    // holds nothing for the next wait.
    char buf[16];
    while (::recv(wake.ends[0], buf, sizeof buf, 0) > 0) {
    }
    return mark_shut(w, p, n);
}

// Waits until `s` is ready for `events` or `timeout_ms` passed (negative: no limit). The error
// of the call that came before is kept.
void wait_for(Socket s, short events, int timeout_ms) {
    int err = ::WSAGetLastError();
    WSAPOLLFD p[2] = {{s, events, 0}};
    poll_sockets(p, 1, timeout_ms);
    ::WSASetLastError(err);
}

}  // namespace

int socket_error() { return ::WSAGetLastError(); }
bool would_block(int err) { return err == WSAEWOULDBLOCK; }
bool interrupted(int err) { return err == WSAEINTR; }

std::string error_text(int err) {
    char* text = nullptr;
    DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(err), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out(text ? text : "", n);
    ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "Winsock error " + std::to_string(err) : out;
}

void close_socket(Socket s) {
    if (s == kNoSocket) return;
    {
        Waits& w = waits();
        std::lock_guard lock(w.mutex);
        w.shut.erase(s);  // the number may name another socket next
    }
    ::closesocket(s);
}

void shutdown_socket(Socket s) {
    ::shutdown(s, SD_BOTH);
    Waits& w = waits();
    std::lock_guard lock(w.mutex);
    w.shut.insert(s);
    auto [from, to] = w.waiting.equal_range(s);
    for (auto it = from; it != to; ++it) {
        const char byte = 1;
        ::send(it->second, &byte, 1, 0);
    }
}

Socket duplicate_socket(Socket s) {
    start_winsock();
    WSAPROTOCOL_INFOW info;
    if (::WSADuplicateSocketW(s, ::GetCurrentProcessId(), &info) != 0) return kNoSocket;
    Socket copy = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (copy == INVALID_SOCKET) return kNoSocket;
    Owned owned{copy};
    return prepare(copy) ? owned.release() : kNoSocket;
}

Handle socket_handle(Socket) { return kNoHandle; }

std::string socket_record(Socket s, int pid) {
    start_winsock();
    WSAPROTOCOL_INFOW info;
    if (::WSADuplicateSocketW(s, static_cast<DWORD>(pid), &info) != 0) return {};
    return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}

Socket socket_from_record(std::string_view record) {
    start_winsock();
    WSAPROTOCOL_INFOW info;
    if (record.size() != sizeof info) {
        ::WSASetLastError(WSAEINVAL);
        return kNoSocket;
    }
    std::memcpy(&info, record.data(), sizeof info);
    Socket s = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                            WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return kNoSocket;
    Owned owned{s};
    return prepare(s) ? owned.release() : kNoSocket;
}

// Windows has no socketpair(): a listener on the loopback address takes the one connection of
// our own client, checked by its address so that no other local program's connection slips in.
int socket_pair(Socket (&ends)[2]) {
    try {
        Listening l = listen_ipv4(htonl(INADDR_LOOPBACK), 0);
        if (l.socket == kNoSocket) return l.error;
        Owned listener{l.socket};
        Owned client{new_tcp_socket()};
        if (client.s == kNoSocket) return ::WSAGetLastError();
        sockaddr_in to = ipv4(std::nullopt, INADDR_LOOPBACK, l.port);
        if (::connect(client.s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
            ::WSAGetLastError() != WSAEWOULDBLOCK)
            return ::WSAGetLastError();
        // The loopback connect completes once the listener queued it; the client's address then
        // tells our connection from any other.
        if (!poll_one(client.s, POLLOUT, 5000)) return WSAETIMEDOUT;
        sockaddr_in mine{};
        int len = sizeof mine;
        if (::getsockname(client.s, reinterpret_cast<sockaddr*>(&mine), &len) != 0)
            return ::WSAGetLastError();
        for (;;) {
            if (!poll_one(listener.s, POLLIN, 5000)) return WSAETIMEDOUT;
            sockaddr_in peer{};
            int peer_len = sizeof peer;
            Socket s = ::accept(listener.s, reinterpret_cast<sockaddr*>(&peer), &peer_len);
            if (s == INVALID_SOCKET) {
                if (::WSAGetLastError() == WSAEWOULDBLOCK) continue;
                return ::WSAGetLastError();
            }
            Owned server{s};
            if (peer.sin_port != mine.sin_port || peer.sin_addr.s_addr != mine.sin_addr.s_addr)
                continue;  // someone else's: closed
            if (!prepare(server.s, true) || !prepare(client.s, true)) return ::WSAGetLastError();
            ends[0] = server.release();
            ends[1] = client.release();
            return 0;
        }
    } catch (const std::system_error& e) {
        return e.code().value();
    }
}

std::ptrdiff_t send_now(Socket s, const void* data, size_t size) {
    return ::send(s, static_cast<const char*>(data), clamp_size(size), 0);
}

std::ptrdiff_t receive_now(Socket s, void* data, size_t size) {
    return ::recv(s, static_cast<char*>(data), clamp_size(size), 0);
}

std::ptrdiff_t receive(Socket s, void* data, size_t size) {
    for (;;) {
        int n = ::recv(s, static_cast<char*>(data), clamp_size(size), 0);
        if (n >= 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) return n;
        wait_for(s, POLLIN, -1);
    }
}

int send_all(Socket s, std::string_view data, double stall_seconds) {
    using clock = std::chrono::steady_clock;
    auto last_progress = clock::now();
    while (!data.empty()) {
        int n = ::send(s, data.data(), clamp_size(data.size()), 0);
        if (n > 0) {
            data.remove_prefix(static_cast<size_t>(n));
            last_progress = clock::now();
            continue;
        }
        int err = ::WSAGetLastError();
        if (n < 0 && err != WSAEWOULDBLOCK && err != WSAEINTR) return err;
        double left =
            stall_seconds - std::chrono::duration<double>(clock::now() - last_progress).count();
        if (left <= 0) {
            ::shutdown(s, SD_BOTH);
            return WSAETIMEDOUT;
        }
        wait_for(s, POLLOUT, static_cast<int>(left * 1000) + 1);
    }
    return 0;
}

int recv_exact(Socket s, std::string& out, size_t size) {
    out.resize(size);
    size_t got = 0;
    while (got < size) {
        std::ptrdiff_t n = receive(s, out.data() + got, size - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0) {
            return -1;
        } else if (::WSAGetLastError() != WSAEINTR) {
            return ::WSAGetLastError();
        }
    }
    return 0;
}

int wait_sockets(std::span<SocketWait> sockets, const WakeUp* wake_up, int timeout_ms,
                 bool* woken) {
    constexpr size_t kMost = 8;
    // WSAPoll takes no placeholder entries: only the sockets asked for go in (and the thread's
    // wake-up after them).
    WSAPOLLFD p[kMost + 2];
    size_t at[kMost];  // which entry of `sockets` each entry of `p` is
    ULONG n = 0;
    for (size_t i = 0; i < std::min(sockets.size(), kMost); ++i) {
        sockets[i].ready = false;
        if (sockets[i].socket == kNoSocket) continue;
        at[n] = i;
        p[n++] = {sockets[i].socket, static_cast<short>(sockets[i].for_writing ? POLLOUT : POLLIN),
                  0};
    }
    const ULONG wake_at = n;
    if (wake_up) p[n++] = {wake_up->socket(), POLLIN, 0};
    if (woken) *woken = false;
    if (n == 0) {  // nothing to watch: only the time passes
        if (timeout_ms < 0) {
            ::WSASetLastError(WSAEINVAL);
            return -1;
        }
        ::Sleep(static_cast<DWORD>(timeout_ms));
        return 0;
    }
    const int ready = poll_sockets(p, n, timeout_ms < 0 ? -1 : timeout_ms);
    if (ready <= 0) return ready;
    for (ULONG i = 0; i < wake_at; ++i) sockets[at[i]].ready = p[i].revents != 0;
    if (woken && wake_up) *woken = p[wake_at].revents != 0;
    return ready;
}

std::optional<uint32_t> ipv4_address(const std::string& text) {
    in_addr addr{};
    if (::inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
    return addr.s_addr;
}

// The port is ours alone (SO_EXCLUSIVEADDRUSE): Windows' SO_REUSEADDR would let another program
// bind it as well, and an address in TIME_WAIT can be bound again without any option.
Listening listen_ipv4(std::optional<uint32_t> address, int port) {
    sockaddr_in addr = ipv4(address, INADDR_ANY, port);
    Owned s{new_tcp_socket()};
    if (s.s == kNoSocket)
        throw std::system_error(::WSAGetLastError(), std::system_category(), "socket");
    BOOL yes = TRUE;
    if (::setsockopt(s.s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&yes),
                     sizeof yes) != 0)
        throw std::system_error(::WSAGetLastError(), std::system_category(), "setsockopt");
    if (::bind(s.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = ::WSAGetLastError();
        return Listening{kNoSocket, 0, err, err == WSAEADDRNOTAVAIL};
    }
    int len = sizeof addr;
    if (::getsockname(s.s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::system_error(::WSAGetLastError(), std::system_category(), "getsockname");
    if (::listen(s.s, 1) != 0)
        throw std::system_error(::WSAGetLastError(), std::system_category(), "listen");
    return Listening{s.release(), ntohs(addr.sin_port), 0, false};
}

std::optional<Accepted> accept_ipv4(Socket listening, int& error) {
    error = 0;
    sockaddr_in peer{};
    int len = sizeof peer;
    Socket s = ::accept(listening, reinterpret_cast<sockaddr*>(&peer), &len);
    if (s == INVALID_SOCKET) {
        int err = ::WSAGetLastError();
        // A connection the peer reset while it waited shows as WSAECONNRESET here (Wine:
        // WSAENOTCONN); the listener serves on.
        if (err != WSAEWOULDBLOCK && err != WSAEINTR && err != WSAECONNRESET &&
            err != WSAECONNABORTED && err != WSAENOTCONN)
            error = err;
        return std::nullopt;
    }
    Owned owned{s};
    if (!prepare(s)) {
        error = ::WSAGetLastError();
        return std::nullopt;
    }
    char ip[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    return Accepted{owned.release(), ip, ntohs(peer.sin_port)};
}

int knock_ipv4(std::optional<uint32_t> address, int port) {
    Owned s{new_tcp_socket()};
    if (s.s == kNoSocket) return ::WSAGetLastError();
    sockaddr_in addr = ipv4(address, INADDR_LOOPBACK, port);
    if (::connect(s.s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return ::WSAGetLastError();
        // select, not WSAPoll: older Windows 10 releases' WSAPoll misses a refused connect.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s.s, &writable);
        FD_SET(s.s, &failed);
        timeval second{1, 0};
        ::select(0, nullptr, &writable, &failed, &second);
    }
    return 0;
}

}  // namespace tav::platform
