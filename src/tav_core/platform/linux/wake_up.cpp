// An eventfd: one descriptor, set by adding to its counter, cleared by reading it.
#include "platform/wake_up.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tav::platform {

WakeUp::WakeUp() : read_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (read_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    write_fd_ = read_fd_;
}

WakeUp::~WakeUp() { ::close(read_fd_); }

void WakeUp::set() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(write_fd_, &one, sizeof one);
}

void WakeUp::clear() {
    uint64_t n;
    [[maybe_unused]] ssize_t r = ::read(read_fd_, &n, sizeof n);
}

}  // namespace tav::platform
