// The part of the POSIX shared block facility that differs between systems; only
// posix/shared_block.cpp uses it (Windows has a shared_block.cpp of its own).
#pragma once

#include <cstddef>

namespace tav::platform::detail {

// Gives the block `fd` its `size`, with the memory reserved now where the system can; 0 or the
// error.
int reserve(int fd, size_t size);

}  // namespace tav::platform::detail
