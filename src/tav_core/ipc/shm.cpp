#include "ipc/shm.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "platform/secure_random.hpp"

namespace tav::ipc {

namespace {

// Owns a descriptor only for the time it takes to map it: a mapping does not need it.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

std::string platform_name(const std::string& name) {
    return name.starts_with('/') ? name : "/" + name;
}

uint8_t* map(int fd, size_t size, const std::string& name) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) throw ShmError(errno, name);
    return static_cast<uint8_t*>(p);
}

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
        int raw = ::shm_open(candidate.c_str(), kCreateFlags | kOpenFlags | O_CLOEXEC, kMode);
        if (raw < 0) {
            if (errno == EEXIST && !name) continue;
            throw ShmError(errno, candidate);
        }
        Fd fd(raw);
        try {
            if (int err = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size + trailer.size())))
                throw ShmError(err, candidate);
            if (!trailer.empty() &&
                ::pwrite(fd.get(), trailer.data(), trailer.size(), static_cast<off_t>(size)) !=
                    static_cast<ssize_t>(trailer.size()))
                throw ShmError(errno, candidate);
            return Shm(candidate, map(fd.get(), size, candidate), size);
        } catch (...) {
            ::shm_unlink(candidate.c_str());  // the block is ours: leave nothing behind
            throw;
        }
    }
}

Shm Shm::attach(const std::string& name, size_t size) {
    std::string full = platform_name(name);
    Fd fd(::shm_open(full.c_str(), kOpenFlags | O_CLOEXEC, kMode));
    if (fd.get() < 0) throw ShmError(errno, full);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw ShmError(errno, full);
    if (static_cast<unsigned long long>(st.st_size) < size)
        throw std::invalid_argument("'size' is larger than the shared memory block " + full);
    return Shm(full, map(fd.get(), size, full), size);
}

Shm Shm::open(long long size, const std::optional<std::string>& name, bool create) {
    if (size <= 0)
        throw std::invalid_argument("'size' must be a positive number different from zero");
    if (!name && !create) throw std::invalid_argument("'name' can only be None if create=True");
    return create ? Shm::create(static_cast<size_t>(size), name)
                  : Shm::attach(*name, static_cast<size_t>(size));
}

void Shm::close() noexcept {
    if (data_) ::munmap(data_, size_);
    data_ = nullptr;
}

void Shm::unlink(const std::string& name) {
    std::string full = platform_name(name);
    if (::shm_unlink(full.c_str()) != 0) throw ShmError(errno, full);
}

}  // namespace tav::ipc
