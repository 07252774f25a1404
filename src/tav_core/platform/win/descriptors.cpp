// HANDLEs of pipes and files. Pipes are anonymous (CreatePipe): their state is read with
// PeekNamedPipe, which never blocks.
#include "platform/descriptors.hpp"

#include <windows.h>

#include <algorithm>

namespace tav::platform {

namespace {

// Bytes waiting in the pipe `h`; false once its writer is gone (or `h` is no pipe).
bool available(Handle h, DWORD* bytes) {
    *bytes = 0;
    return PeekNamedPipe(h, nullptr, 0, nullptr, bytes, nullptr) != 0;
}

}  // namespace

Handle standard_input() { return GetStdHandle(STD_INPUT_HANDLE); }
Handle standard_output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

void close_descriptor(Handle h) {
    if (h != kNoHandle && h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// No signal to fear: a write to a pipe whose reader is gone fails (ERROR_NO_DATA).
bool write_all(Handle h, std::string_view data) {
    while (!data.empty()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30)), written = 0;
        if (!WriteFile(h, data.data(), chunk, &written, nullptr) || written == 0) return false;
        data.remove_prefix(written);
    }
    return true;
}

bool read_exactly(Handle h, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30)), got = 0;
        if (!ReadFile(h, out, chunk, &got, nullptr) || got == 0) return false;
        out += got;
        size -= got;
    }
    return true;
}

bool stream_ended(Handle h) {
    DWORD bytes;
    return !available(h, &bytes);
}

std::string read_to_end(Handle h) {
    std::string out;
    char buf[4096];
    DWORD bytes;
    while (available(h, &bytes) && bytes > 0) {
        DWORD got = 0;
        if (!ReadFile(h, buf, std::min<DWORD>(bytes, sizeof buf), &got, nullptr) || got == 0) break;
        out.append(buf, got);
    }
    return out;
}

}  // namespace tav::platform
