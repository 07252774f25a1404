// Handles of the operating system's objects (POSIX: descriptors of files, pipes, sockets and
// memory; Windows: HANDLEs): closing them, owning them, and reading and writing whole byte strings
// on a blocking stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tav::platform {

#ifdef _WIN32
using Handle = void*;  // a HANDLE
inline constexpr Handle kNoHandle = nullptr;
// A handle as a number (in an argument block or a share description), and back.
inline uint64_t handle_value(Handle h) { return reinterpret_cast<uintptr_t>(h); }
inline Handle handle_from_value(uint64_t v) { return reinterpret_cast<Handle>(uintptr_t(v)); }
#else
using Handle = int;  // a descriptor
inline constexpr Handle kNoHandle = -1;
inline uint64_t handle_value(Handle h) { return static_cast<uint64_t>(h); }
inline Handle handle_from_value(uint64_t v) { return static_cast<Handle>(v); }
#endif

// This process's standard input and output.
Handle standard_input();
Handle standard_output();

void close_descriptor(Handle h);

// A handle with one owner, closed when the owner lets go of it.
class OwnedHandle {
  public:
    OwnedHandle() = default;
    explicit OwnedHandle(Handle h) : h_(h) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : h_(std::exchange(other.h_, kNoHandle)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = std::exchange(other.h_, kNoHandle);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    Handle get() const { return h_; }
    explicit operator bool() const { return h_ != kNoHandle; }
    void reset() { close_descriptor(std::exchange(h_, kNoHandle)); }

  private:
    Handle h_ = kNoHandle;
};
// Writes all of `data`; false when the stream failed first (a reader that is gone).
bool write_all(Handle h, std::string_view data);
// Reads exactly `size` bytes; false when the stream ended or failed first.
bool read_exactly(Handle h, void* buffer, size_t size);
// True when the writer of the stream `h` reads from is gone (every copy of its end closed) and
// nothing is left to read. Never blocks; may consume a byte that was still there.
bool stream_ended(Handle h);
// Everything there is to read now, up to the end of the stream (or its failure).
std::string read_to_end(Handle h);

}  // namespace tav::platform
