// Bytes from the system's cryptographically secure random source (for names that must not be
// guessed). Throws std::system_error when the source fails.
#pragma once

#include <cstddef>

namespace tav::platform {

void secure_random(void* buffer, size_t size);

}  // namespace tav::platform
