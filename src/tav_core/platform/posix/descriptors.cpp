#include "platform/descriptors.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tav::platform {

Handle standard_input() { return 0; }
Handle standard_output() { return 1; }

void close_descriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

// A write to a pipe whose reader is gone raises SIGPIPE in the writing thread, and a host that
// does not ignore it would die of it: it is blocked for the write, and one the write raised is
// taken back before it is unblocked.
bool write_all(int fd, std::string_view data) {
    sigset_t pipe_signal, before, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
    bool written = true;
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            written = false;
            break;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    sigpending(&pending);
    if (!written && !was_pending && sigismember(&pending, SIGPIPE)) {
        int taken;
        sigwait(&pipe_signal, &taken);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return written;
}

bool read_exactly(int fd, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::read(fd, out, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool stream_ended(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) return false;
    if (p.revents & (POLLERR | POLLNVAL)) return true;
    char byte;
    return ::read(fd, &byte, 1) == 0;  // readable: the end, or a byte nobody expects
}

std::string read_to_end(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;  // the end, or nothing more now (EAGAIN)
        out.append(buf, static_cast<size_t>(n));
    }
}

}  // namespace tav::platform
