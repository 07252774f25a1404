// POSIX shared memory (shm_open). Where the system keeps the names in a directory (/dev/shm on
// Linux), they can be listed; macOS does not show them.
#include "platform/shared_block.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/shared_block_parts.hpp"

namespace tav::platform {

namespace {

constexpr const char* kBlockDir = "/dev/shm";

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

Mapping map(int fd, size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return {nullptr, errno};
    return {static_cast<uint8_t*>(p), 0};
}

}  // namespace

int block_open_flags() { return O_RDWR; }
int block_create_flags() { return O_CREAT | O_EXCL; }

Mapping create_block(const std::string& name, size_t size, std::string_view trailer) {
    Fd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kBlockMode));
    if (fd.get() < 0) return {nullptr, errno};
    int err = detail::reserve(fd.get(), size + trailer.size());
    if (!err && !trailer.empty() &&
        ::pwrite(fd.get(), trailer.data(), trailer.size(), static_cast<off_t>(size)) !=
            static_cast<ssize_t>(trailer.size()))
        err = errno;
    Mapping m = err ? Mapping{nullptr, err} : map(fd.get(), size);
    if (m.error) ::shm_unlink(name.c_str());  // the block is ours: leave nothing behind
    return m;
}

Mapping attach_block(const std::string& name, size_t size) {
    Fd fd(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, kBlockMode));
    if (fd.get() < 0) return {nullptr, errno};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return {nullptr, errno};
    if (static_cast<unsigned long long>(st.st_size) < size) return {nullptr, EINVAL};
    return map(fd.get(), size);
}

void unmap_block(uint8_t* data, size_t size) {
    if (data) ::munmap(data, size);
}

int remove_block(const std::string& name) { return ::shm_unlink(name.c_str()) == 0 ? 0 : errno; }

int sweep_blocks(std::string_view prefix, size_t trailer_size,
                 const std::function<bool(std::string_view trailer)>& remove) {
    DIR* dir = ::opendir(kBlockDir);
    if (!dir) return 0;
    int removed = 0;
    std::string trailer(trailer_size, '\0');
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) continue;
        int fd =
            ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        bool gone = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
                    st.st_size >= static_cast<off_t>(trailer_size) &&
                    ::pread(fd, trailer.data(), trailer_size,
                            st.st_size - static_cast<off_t>(trailer_size)) ==
                        static_cast<ssize_t>(trailer_size) &&
                    remove(trailer);
        ::close(fd);
        // The name must still be the block that was read (names are random, but never guess).
        struct stat now;
        if (gone && ::fstatat(::dirfd(dir), entry->d_name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_ino == st.st_ino && now.st_dev == st.st_dev &&
            ::shm_unlink(("/" + std::string(name)).c_str()) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

}  // namespace tav::platform
