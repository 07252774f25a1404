// Named mappings backed by the paging file. A mapping lives while any process has it open, so
// nothing outlives its last user: there is no name to remove and no block to sweep. Its handle is
// kept as long as its view: Windows keeps a mapped block's name with the view alone, Wine only
// while a handle is open. SEC_COMMIT charges the memory at creation, so a full system fails
// there, not at a later write.
#include "platform/shared_block.hpp"

#include <fcntl.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/win/wide.hpp"

namespace tav::platform {

namespace {

using detail::wide;

int errno_of(DWORD error) {
    switch (error) {
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_COMMITMENT_LIMIT:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_NAME:
            return EINVAL;
        default:
            return EIO;
    }
}

// The mapping handle of each view this process holds.
struct Views {
    std::mutex mutex;
    std::map<uint8_t*, HANDLE> handles;
};
Views& views() {
    static Views* v = new Views;  // never destroyed: blocks may be unmapped at exit
    return *v;
}

// The whole mapping `h` in view, or the error (then `h` is closed).
Mapping view(HANDLE h) {
    void* p = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (!p) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        return {nullptr, errno_of(error)};
    }
    Views& v = views();
    std::lock_guard lock(v.mutex);
    v.handles[static_cast<uint8_t*>(p)] = h;
    return {static_cast<uint8_t*>(p), 0};
}

}  // namespace

int block_open_flags() { return O_RDWR; }
int block_create_flags() { return O_CREAT | O_EXCL; }

Mapping create_block(const std::string& name, size_t size, std::string_view trailer) {
    const unsigned long long total = size + trailer.size();
    SetLastError(0);
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT,
                                  static_cast<DWORD>(total >> 32), static_cast<DWORD>(total),
                                  wide(name).c_str());
    if (!h) return {nullptr, errno_of(GetLastError())};
    if (GetLastError() == ERROR_ALREADY_EXISTS) {  // someone else's: left as it is
        CloseHandle(h);
        return {nullptr, EEXIST};
    }
    Mapping m = view(h);
    if (m.data && !trailer.empty()) std::memcpy(m.data + size, trailer.data(), trailer.size());
    return m;
}

// The size of a mapping is known only in whole pages: a view of the whole shows how many.
Mapping attach_block(const std::string& name, size_t size) {
    HANDLE h = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, wide(name).c_str());
    if (!h) return {nullptr, errno_of(GetLastError())};
    Mapping m = view(h);
    MEMORY_BASIC_INFORMATION region;
    if (m.data && (VirtualQuery(m.data, &region, sizeof region) < sizeof region ||
                   region.RegionSize < size)) {
        unmap_block(m.data, size);
        return {nullptr, EINVAL};
    }
    return m;
}

void unmap_block(uint8_t* data, size_t) {
    if (!data) return;
    UnmapViewOfFile(data);
    Views& v = views();
    std::lock_guard lock(v.mutex);
    auto it = v.handles.find(data);
    if (it == v.handles.end()) return;
    CloseHandle(it->second);
    v.handles.erase(it);
}

int remove_block(const std::string&) { return 0; }

int sweep_blocks(std::string_view, size_t, const std::function<bool(std::string_view)>&) {
    return 0;
}

}  // namespace tav::platform
