// A pipe: set by writing a byte (a full pipe is set already), cleared by reading all there is.
#include "platform/wake_up.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tav::platform {

WakeUp::WakeUp() {
    int ends[2];
    if (::pipe(ends) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    for (int fd : ends) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    read_fd_ = ends[0];
    write_fd_ = ends[1];
}

WakeUp::~WakeUp() {
    ::close(read_fd_);
    ::close(write_fd_);
}

void WakeUp::set() {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(write_fd_, &byte, 1);
}

void WakeUp::clear() {
    char buf[64];
    while (::read(read_fd_, buf, sizeof buf) > 0) {
    }
}

}  // namespace tav::platform
