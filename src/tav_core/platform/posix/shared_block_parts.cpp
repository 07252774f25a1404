// Without posix_fallocate (macOS): the size is set, the memory comes at the first write.
#include "platform/shared_block_parts.hpp"

#include <unistd.h>

#include <cerrno>

namespace tav::platform::detail {

int reserve(int fd, size_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

}  // namespace tav::platform::detail
