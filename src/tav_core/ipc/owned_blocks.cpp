#include "ipc/owned_blocks.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <string_view>

namespace tav::ipc {

namespace {

// Where glibc keeps the names of POSIX shared memory.
constexpr const char* kBlockDir = "/dev/shm";

struct Stamp {
    char magic[8];
    uint64_t pid;
    uint64_t start_time;  // clock ticks after boot, as /proc reports it: tells a reused pid apart
    uint64_t pid_namespace;
};
static_assert(sizeof(Stamp) == 32);
constexpr char kMagic[8] = {'t', 'a', 'v', 'b', 'l', 'o', 'c', 'k'};

// The start time of process `pid`; 0 when it does not run (zombies included), -1 when unknown.
long long start_time_of(pid_t pid) {
    int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ESRCH ? 0 : -1;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return n < 0 && errno == ESRCH ? 0 : -1;
    std::string_view text(buf, static_cast<size_t>(n));
    size_t close = text.rfind(')');
    if (close == std::string_view::npos) return -1;
    // After the name: the state (field 3), then fields 4 and on, separated by single spaces.
    std::istringstream fields{std::string(text.substr(close + 1))};
    std::string state;
    long long field = 0;
    fields >> state;
    if (state == "Z" || state == "X") return 0;
    for (int i = 4; i <= 22; ++i)
        if (!(fields >> field)) return -1;
    return field;
}

uint64_t pid_namespace() {
    struct stat st;
    return ::stat("/proc/self/ns/pid", &st) == 0 ? st.st_ino : 0;
}

Stamp own_stamp() {
    Stamp s{};
    std::memcpy(s.magic, kMagic, sizeof kMagic);
    s.pid = static_cast<uint64_t>(::getpid());
    long long start = start_time_of(::getpid());
    s.start_time = start > 0 ? static_cast<uint64_t>(start) : 0;
    s.pid_namespace = pid_namespace();
    return s;
}

// True only when the stamp's creator certainly no longer runs.
bool creator_gone(const Stamp& s, uint64_t own_namespace) {
    if (std::memcmp(s.magic, kMagic, sizeof kMagic) != 0) return false;
    if (own_namespace == 0 || s.pid_namespace != own_namespace || s.pid == 0) return false;
    long long start = start_time_of(static_cast<pid_t>(s.pid));
    return start == 0 ||
           (start > 0 && s.start_time != 0 && static_cast<uint64_t>(start) != s.start_time);
}

struct Owned {
    std::mutex mutex;
    std::set<std::string> names;
    pid_t owner = 0;  // the process the names belong to
};

Owned& owned() {
    static Owned* o = new Owned;  // never destroyed: used from exit handlers
    return *o;
}

}  // namespace

Shm create_owned(size_t size) {
    Stamp stamp = own_stamp();
    Shm block = Shm::create(size, std::nullopt,
                            std::string_view(reinterpret_cast<const char*>(&stamp), sizeof stamp));
    Owned& o = owned();
    std::lock_guard lock(o.mutex);
    if (o.owner != ::getpid()) o.names.clear();
    o.owner = ::getpid();
    o.names.insert(block.name());
    return block;
}

void unlink_owned(const std::string& name) {
    {
        Owned& o = owned();
        std::lock_guard lock(o.mutex);
        o.names.erase(name);
    }
    try {
        Shm::unlink(name);
    } catch (const ShmError& e) {
        // Already gone (a worker whose host it took for dead, or someone cleaning up) is what the
        // unlink was for.
        if (e.code().value() != ENOENT) throw;
    }
}

void unlink_all_owned() noexcept {
    Owned& o = owned();
    std::lock_guard lock(o.mutex);
    if (o.owner != ::getpid()) return;
    for (const std::string& name : o.names) ::shm_unlink(name.c_str());
    o.names.clear();
}

int remove_orphaned_blocks() noexcept try {
    const uint64_t own_namespace = pid_namespace();
    DIR* dir = ::opendir(kBlockDir);
    if (!dir) return 0;
    const std::string_view prefix = std::string_view(Shm::kNamePrefix).substr(1);  // no "/"
    int removed = 0;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) continue;
        int fd =
            ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st;
        Stamp stamp{};
        bool gone =
            ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            st.st_size >= static_cast<off_t>(sizeof stamp) &&
            ::pread(fd, &stamp, sizeof stamp, st.st_size - static_cast<off_t>(sizeof stamp)) ==
                static_cast<ssize_t>(sizeof stamp) &&
            creator_gone(stamp, own_namespace);
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
} catch (const std::exception&) {
    return 0;  // out of memory while scanning: the blocks wait for the next server
}

}  // namespace tav::ipc
