#include "ipc/shm.hpp"

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "platform/secure_random.hpp"
#include "platform/shared_block.hpp"

namespace tav::ipc {

namespace {

std::string platform_name(const std::string& name) { return platform::system_block_name(name); }

}  // namespace

ShmError::ShmError(int err, std::string name)
    : std::system_error(err, std::generic_category(), name), name_(std::move(name)) {}

Shm::Shm(Shm&& o) noexcept : name_(std::move(o.name_)), data_(o.data_), size_(o.size_) {
    o.data_ = nullptr;
    o.size_ = 0;
}

Shm& Shm::operator=(Shm&& o) noexcept {
    if (this != &o) {
        close();
        name_ = std::move(o.name_);
        data_ = o.data_;
        size_ = o.size_;
        o.data_ = nullptr;
        o.size_ = 0;
    }
    return *this;
}

std::string Shm::generate_name() {
    constexpr size_t prefix = std::char_traits<char>::length(kNamePrefix);
    constexpr size_t nbytes = (kSafeNameLength - prefix) / 2;
    static_assert(nbytes >= 2, "kNamePrefix too long");
    uint8_t random[nbytes];
    platform::secure_random(random, nbytes);
    std::string name(kNamePrefix);
    char hex[3];
    for (uint8_t b : random) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        name += hex;
    }
    return name;
}

Shm Shm::create(size_t size, const std::optional<std::string>& name, std::string_view trailer) {
    for (;;) {
        std::string candidate = name ? platform_name(*name) : generate_name();
        platform::Mapping m = platform::create_block(candidate, size, trailer);
        if (m.error == EEXIST && !name) continue;
        if (m.error) throw ShmError(m.error, candidate);
        return Shm(candidate, m.data, size);
    }
}

Shm Shm::attach(const std::string& name, size_t size) {
    std::string full = platform_name(name);
    platform::Mapping m = platform::attach_block(full, size);
    if (m.error == EINVAL)
        throw std::invalid_argument("'size' is larger than the shared memory block " + full);
    if (m.error) throw ShmError(m.error, full);
    return Shm(full, m.data, size);
}

Shm Shm::open(long long size, const std::optional<std::string>& name, bool create) {
    if (size <= 0)
        throw std::invalid_argument("'size' must be a positive number different from zero");
    if (!name && !create) throw std::invalid_argument("'name' can only be None if create=True");
    return create ? Shm::create(static_cast<size_t>(size), name)
                  : Shm::attach(*name, static_cast<size_t>(size));
}

void Shm::close() noexcept {
    platform::unmap_block(data_, size_);
    data_ = nullptr;
}

void Shm::unlink(const std::string& name) {
    std::string full = platform_name(name);
    if (int err = platform::remove_block(full)) throw ShmError(err, full);
}

}  // namespace tav::ipc
