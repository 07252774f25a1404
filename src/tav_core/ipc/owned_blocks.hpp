// Shared blocks that carry their creator: which process made a block (its pid, start time and
// pid namespace, stamped after the block's bytes), so that
//   - a process removes the names of its own blocks that are still there when it exits, and
//   - a new process removes blocks whose creator died without removing them (killed, or it had
//     no live worker to do it), never one whose creator still runs.
#pragma once

#include <cstddef>
#include <string>

#include "ipc/shm.hpp"

namespace tav::ipc {

// Creates a block like Shm::create, stamped with this process, and records it as this process's
// until unlink_owned.
Shm create_owned(size_t size);

// Removes the name of a block made by create_owned and forgets it; a name already gone is fine.
void unlink_owned(const std::string& name);

// Removes the names of this process's blocks that are still there (at interpreter exit). In a
// forked child that inherited the record it does nothing: the blocks are its parent's.
void unlink_all_owned() noexcept;

// Removes, from the directory where the platform keeps named blocks, the stamped blocks whose
// creator no longer runs; blocks without a stamp, of another user or of another pid namespace
// are left alone. Returns how many it removed.
int remove_orphaned_blocks() noexcept;

}  // namespace tav::ipc
