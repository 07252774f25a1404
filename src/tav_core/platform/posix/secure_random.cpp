#include "platform/secure_random.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tav::platform {

void secure_random(void* buffer, size_t size) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "/dev/urandom");
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t got = 0; got < size;) {
        ssize_t n = ::read(fd, out + got, size - got);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            int err = n < 0 ? errno : EIO;
            ::close(fd);
            throw std::system_error(err, std::generic_category(), "/dev/urandom");
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
}

}  // namespace tav::platform
