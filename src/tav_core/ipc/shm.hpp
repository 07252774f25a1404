// A named shared-memory block that the server and its workers map at the same time.
//
// The creator makes the name, every user maps it by name and size, and exactly one of them removes
// the name (`unlink`) when nobody needs it any more; the memory goes with the last mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/shared_block.hpp"

namespace tav::ipc {

// A failed system call on a named block; carries the name for the error report.
class ShmError : public std::system_error {
  public:
    ShmError(int err, std::string name);
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

class Shm {
  public:
    static constexpr const char* kNamePrefix = platform::kBlockNamePrefix;
    static constexpr size_t kSafeNameLength = 14;  // longest generated name

    Shm() = default;  // a closed block
    ~Shm() { close(); }
    Shm(Shm&& o) noexcept;
    Shm& operator=(Shm&& o) noexcept;
    Shm(const Shm&) = delete;
    Shm& operator=(const Shm&) = delete;

    // Creates a block of `size` bytes, zero-filled and backed by memory reserved now (so a full
    // /dev/shm fails here, not with SIGBUS on a later write). Without a name one is generated,
    // retrying on collisions; a given name that exists already fails with ShmError(EEXIST).
    // `trailer` is stored after the block's bytes, outside what is mapped.
    static Shm create(size_t size, const std::optional<std::string>& name = std::nullopt,
                      std::string_view trailer = {});

    // Maps the existing block `name` (with or without POSIX's leading "/"). Refuses a `size` larger
    // than the block: touching the missing part would kill the process with SIGBUS.
    static Shm attach(const std::string& name, size_t size);

    // The construction rules of the Python face: validates `size` and `name`, then creates or
    // attaches. std::invalid_argument for a size <= 0 or a missing name when not creating.
    static Shm open(long long size, const std::optional<std::string>& name, bool create);

    // Unmaps the block from this process; the block stays for the others. Idempotent.
    void close() noexcept;
    // Removes the name, so that the memory goes with the last mapping.
    void unlink() const { unlink(name_); }
    static void unlink(const std::string& name);  // with or without the leading "/"

    bool is_open() const { return data_ != nullptr; }
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    const std::string& name() const { return name_; }  // as given to the system (POSIX: "/...")

    static std::string generate_name();

  private:
    Shm(std::string name, uint8_t* data, size_t size)
        : name_(std::move(name)), data_(data), size_(size) {}
    std::string name_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace tav::ipc
