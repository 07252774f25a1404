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

// How the system names blocks: POSIX names start with "/", Windows names are those of kernel
// objects (paging-file mappings). The prefix of the names generated for frame blocks follows.
#ifdef _WIN32
inline constexpr std::string_view kBlockNameRoot = "";
inline constexpr const char* kBlockNamePrefix = "wnsm_";
#else
inline constexpr std::string_view kBlockNameRoot = "/";
inline constexpr const char* kBlockNamePrefix = "/psm_";
#endif
// `name` as the system takes it (with or without the root given).
inline std::string system_block_name(std::string_view name) {
    return name.starts_with(kBlockNameRoot) ? std::string(name)
                                            : std::string(kBlockNameRoot) + std::string(name);
}

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

// Creates the block `name` (a system name), zero-filled and backed by memory reserved now where
// the system can (so a full memory fails here, not at a later write), with `trailer` after its
// `size` bytes. A block that could not be made whole is removed again. Windows: a paging-file
// mapping, which goes with the last process that has it open; a name that exists is EEXIST
// (ERROR_ALREADY_EXISTS).
Mapping create_block(const std::string& name, size_t size, std::string_view trailer);
// Maps `size` bytes of the existing block `name`; EINVAL when it is smaller (Windows: than its
// whole pages); ENOENT when there is none.
Mapping attach_block(const std::string& name, size_t size);
void unmap_block(uint8_t* data, size_t size);
// Removes the name; 0 or the error. Windows has no names to remove: always 0 (a block goes with
// the last process that has it open).
int remove_block(const std::string& name);

// Calls `remove(trailer)` for every block of this user whose name (without "/") starts with
// `prefix` and that holds at least `trailer_size` bytes, with its last `trailer_size` bytes; a true
// result removes the name, unless the block under it changed meanwhile. Where the system lists no
// names, or (Windows) a block goes with its last user anyway, it visits nothing. Returns how many
// it removed.
int sweep_blocks(std::string_view prefix, size_t trailer_size,
                 const std::function<bool(std::string_view trailer)>& remove);

}  // namespace tav::platform
