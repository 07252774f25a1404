#include "platform/secure_random.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

namespace tav::platform {

void secure_random(void* buffer, size_t size) {
    auto* out = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        NTSTATUS status = BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0)
            throw std::system_error(static_cast<int>(status), std::system_category(),
                                    "BCryptGenRandom");
        out += chunk;
        size -= chunk;
    }
}

}  // namespace tav::platform
