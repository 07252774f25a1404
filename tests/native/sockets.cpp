// The TCP sockets of the hand-over case, on Windows and on POSIX from the same calls.
#include <cstring>
#include <stdexcept>

#include "handover.hpp"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace native_test {
namespace {

#ifdef _WIN32
SOCKET raw(socket_handle s) { return static_cast<SOCKET>(s); }
socket_handle new_tcp_socket() {
    SOCKET s =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("WSASocketW failed: " + std::to_string(WSAGetLastError()));
    return s;
}
#else
int raw(socket_handle s) { return s; }
socket_handle new_tcp_socket() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) throw std::runtime_error("socket failed");
    return s;
}
#endif

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

void start_sockets() {
#ifdef _WIN32
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
#endif
}

socket_handle connect_loopback(std::uint16_t port) {
    socket_handle s = new_tcp_socket();
    sockaddr_in a = loopback(port);
    if (::connect(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close_socket(s);
        throw std::runtime_error("connect to 127.0.0.1:" + std::to_string(port) + " failed");
    }
    return s;
}

socket_handle listen_loopback(std::uint16_t& port) {
    socket_handle s = new_tcp_socket();
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (::bind(raw(s), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(raw(s), 1) != 0 ||
        ::getsockname(raw(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close_socket(s);
        throw std::runtime_error("listening on 127.0.0.1 failed");
    }
    port = ntohs(a.sin_port);
    return s;
}

socket_handle accept_one(socket_handle listener) {
    auto s = ::accept(raw(listener), nullptr, nullptr);
#ifdef _WIN32
    if (s == INVALID_SOCKET) throw std::runtime_error("accept failed");
#else
    if (s < 0) throw std::runtime_error("accept failed");
#endif
    return socket_handle(s);
}

std::string receive_all(socket_handle s, std::size_t max) {
    std::string out;
    char buf[4096];
    while (out.size() < max) {
        int r = int(::recv(raw(s), buf, int(sizeof buf), 0));
        if (r <= 0) break;
        out.append(buf, std::size_t(r));
    }
    return out;
}

bool send_all(socket_handle s, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int r = int(::send(raw(s), bytes.data() + sent, int(bytes.size() - sent), 0));
        if (r <= 0) return false;
        sent += std::size_t(r);
    }
    return true;
}

void close_socket(socket_handle s) {
#ifdef _WIN32
    closesocket(raw(s));
#else
    ::close(s);
#endif
}

#ifdef _WIN32
std::vector<platform::Handle> socket_handles(socket_handle) { return {}; }

std::string socket_share(socket_handle s, const platform::HandOver& to) {
    WSAPROTOCOL_INFOW info{};
    if (WSADuplicateSocketW(raw(s), DWORD(to.child), &info) != 0)
        throw std::runtime_error("WSADuplicateSocketW failed: " +
                                 std::to_string(WSAGetLastError()));
    return std::string(reinterpret_cast<const char*>(&info), sizeof info);
}

socket_handle shared_socket(const std::string& share) {
    WSAPROTOCOL_INFOW info;
    if (share.size() != sizeof info) throw std::runtime_error("not a socket's record");
    std::memcpy(&info, share.data(), sizeof info);
    start_sockets();
    SOCKET s = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                          WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("WSASocketW failed: " + std::to_string(WSAGetLastError()));
    return s;
}
#else
std::vector<platform::Handle> socket_handles(socket_handle s) { return {s}; }

std::string socket_share(socket_handle s, const platform::HandOver& to) {
    return number(to.pass(s));
}

socket_handle shared_socket(const std::string& share) {
    return static_cast<socket_handle>(number_of(share));
}
#endif

}  // namespace native_test
