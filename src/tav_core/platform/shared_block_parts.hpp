// The part of the shared block facility that differs between systems; only shared_block.cpp uses
// it.
#pragma once

#include <cstddef>

namespace tav::platform::detail {

// Gives the block `fd` its `size`, with the memory reserved now where the system can; 0 or the
// error.
int reserve(int fd, size_t size);

}  // namespace tav::platform::detail
