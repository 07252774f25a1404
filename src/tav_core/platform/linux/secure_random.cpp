#include "platform/secure_random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tav::platform {

void secure_random(void* buffer, size_t size) {
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t got = 0; got < size;) {
        ssize_t n = ::getrandom(out + got, size - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += static_cast<size_t>(n);
    }
}

}  // namespace tav::platform
