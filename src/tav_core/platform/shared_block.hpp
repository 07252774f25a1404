// Named shared memory: blocks that processes map by name at the same time, each with an optional
// trailer stored after its bytes (outside what is mapped), and the scan of the names the system
// keeps. Failures return the system's error number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tav::platform {

// The open flags and mode of a block: read and write; creating adds "create, and fail when it
// exists"; the owner alone may use it.
int block_open_flags();
int block_create_flags();
inline constexpr int kBlockMode = 0600;

// A block's bytes mapped into this process, or the error that prevented it.
struct Mapping {
    uint8_t* data = nullptr;
    int error = 0;  // EEXIST: the name exists (create); EINVAL: smaller than asked (attach)
};

// Creates the block `name` ("/..."), zero-filled and backed by memory reserved now where the
// system can (so a full memory fails here, not at a later write), with `trailer` after its `size`
// bytes. A block that could not be made whole is removed again.
Mapping create_block(const std::string& name, size_t size, std::string_view trailer);
// Maps `size` bytes of the existing block `name`; EINVAL when it is smaller.
Mapping attach_block(const std::string& name, size_t size);
void unmap_block(uint8_t* data, size_t size);
// Removes the name; 0 or the error.
int remove_block(const std::string& name);

// Calls `remove(trailer)` for every block of this user whose name (without "/") starts with
// `prefix` and that holds at least `trailer_size` bytes, with its last `trailer_size` bytes; a true
// result removes the name, unless the block under it changed meanwhile. Where the system lists no
// names, it visits nothing. Returns how many it removed.
int sweep_blocks(std::string_view prefix, size_t trailer_size,
                 const std::function<bool(std::string_view trailer)>& remove);

}  // namespace tav::platform
