#include "handover.hpp"

#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
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
// The socket's number in a POSIX child: standard input, output and error come first.
constexpr int child_socket_fd = 3;
#endif

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void put_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
std::uint32_t get_u32(const std::string& in, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(static_cast<unsigned char>(in.at(at + i))) << (8 * i);
    return v;
}

// Reads exactly n bytes of standard input (fewer at its end).
std::string read_stdin(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
#ifdef _WIN32
        DWORD r = 0;
        if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), out.data() + got, DWORD(n - got), &r,
                      nullptr) ||
            r == 0)
            break;
#else
        ssize_t r = ::read(0, out.data() + got, n - got);
        if (r <= 0) break;
#endif
        got += std::size_t(r);
    }
    out.resize(got);
    return out;
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

Child::Child(const std::string& program, socket_handle socket) : socket_(socket) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = read_end;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring wide(program.begin(), program.end());
    std::wstring command = L"\"" + wide + L"\" --child";
    PROCESS_INFORMATION pi{};
    BOOL ok = CreateProcessW(wide.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                             nullptr, nullptr, &si, &pi);
    CloseHandle(read_end);
    if (!ok) {
        CloseHandle(write_end);
        throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
    }
    CloseHandle(pi.hThread);
    process_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
    stdin_ = reinterpret_cast<std::intptr_t>(write_end);
    pid_ = pi.dwProcessId;
}

Child::~Child() {
    if (stdin_ != -1) CloseHandle(reinterpret_cast<HANDLE>(stdin_));
    if (process_) {
        wait(std::chrono::milliseconds(0));
        CloseHandle(reinterpret_cast<HANDLE>(process_));
    }
}

bool Child::send_arguments(const std::string& message) {
    WSAPROTOCOL_INFOW info{};
    if (WSADuplicateSocketW(raw(socket_), DWORD(pid_), &info) != 0) return false;
    std::string record(reinterpret_cast<const char*>(&info), sizeof info);
    std::string block;
    put_u32(block, std::uint32_t(4 + record.size() + message.size()));
    put_u32(block, std::uint32_t(record.size()));
    block += record + message;
    DWORD written = 0;
    HANDLE pipe = reinterpret_cast<HANDLE>(stdin_);
    bool ok = WriteFile(pipe, block.data(), DWORD(block.size()), &written, nullptr) &&
              written == block.size();
    CloseHandle(pipe);
    stdin_ = -1;
    return ok;
}

int Child::wait(std::chrono::milliseconds limit) {
    HANDLE process = reinterpret_cast<HANDLE>(process_);
    if (WaitForSingleObject(process, DWORD(limit.count())) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return int(code);
}

int run_child() {
    std::string head = read_stdin(8);
    if (head.size() != 8) return 10;
    std::string rest = read_stdin(get_u32(head, 0) - 4);
    std::uint32_t record_size = get_u32(head, 4);
    if (record_size != sizeof(WSAPROTOCOL_INFOW) || rest.size() < record_size) return 11;
    WSAPROTOCOL_INFOW info;
    std::memcpy(&info, rest.data(), sizeof info);
    start_sockets();
    SOCKET s = WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, 0);
    if (s == INVALID_SOCKET) return 12;
    bool sent = send_all(s, rest.substr(record_size));
    closesocket(s);
    return sent ? 0 : 13;
}

#else

Child::Child(const std::string& program, socket_handle socket) : socket_(socket) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, socket, child_socket_fd);
    std::string child_flag = "--child";
    char* argv[] = {const_cast<char*>(program.c_str()), child_flag.data(), nullptr};
    pid_t pid = 0;
    int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    if (err != 0) {
        ::close(fds[1]);
        throw std::runtime_error("posix_spawn failed: " + std::string(std::strerror(err)));
    }
    process_ = pid;
    pid_ = static_cast<unsigned long>(pid);
    stdin_ = fds[1];
}

Child::~Child() {
    if (stdin_ != -1) ::close(int(stdin_));
    if (process_) wait(std::chrono::milliseconds(0));
}

bool Child::send_arguments(const std::string& message) {
    std::string block;
    put_u32(block, std::uint32_t(8 + message.size()));
    put_u32(block, 4);
    put_u32(block, std::uint32_t(child_socket_fd));
    block += message;
    bool ok = ::write(int(stdin_), block.data(), block.size()) == ssize_t(block.size());
    ::close(int(stdin_));
    stdin_ = -1;
    return ok;
}

int Child::wait(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t pid = pid_t(process_);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            process_ = 0;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    process_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_child() {
    std::string head = read_stdin(8);
    if (head.size() != 8) return 10;
    std::string rest = read_stdin(get_u32(head, 0) - 4);
    if (get_u32(head, 4) != 4 || rest.size() < 4) return 11;
    int s = int(get_u32(rest, 0));
    bool sent = send_all(s, rest.substr(4));
    ::close(s);
    return sent ? 0 : 13;
}

#endif

}  // namespace native_test
