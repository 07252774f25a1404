#include "platform/shared_block_parts.hpp"

#include <fcntl.h>

namespace tav::platform::detail {

// Reserved now: a full /dev/shm fails here, not with SIGBUS at a later write.
int reserve(int fd, size_t size) { return ::posix_fallocate(fd, 0, static_cast<off_t>(size)); }

}  // namespace tav::platform::detail
