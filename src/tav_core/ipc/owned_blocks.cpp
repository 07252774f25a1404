#include "ipc/owned_blocks.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>

#include "platform/process.hpp"
#include "platform/shared_block.hpp"

namespace tav::ipc {

namespace {

struct Stamp {
    char magic[8];
    uint64_t pid;
    uint64_t start_time;  // tells a reused pid apart, where the system says
    uint64_t pid_namespace;
};
static_assert(sizeof(Stamp) == 32);
constexpr char kMagic[8] = {'t', 'a', 'v', 'b', 'l', 'o', 'c', 'k'};

Stamp own_stamp() {
    const platform::ProcessStamp p = platform::stamp_of_this_process();
    Stamp s{};
    std::memcpy(s.magic, kMagic, sizeof kMagic);
    s.pid = p.pid;
    s.start_time = p.start_time;
    s.pid_namespace = p.pid_namespace;
    return s;
}

// True only when the stamp's creator certainly no longer runs.
bool creator_gone(const Stamp& s) {
    if (std::memcmp(s.magic, kMagic, sizeof kMagic) != 0) return false;
    return platform::stamped_process_gone({s.pid, s.start_time, s.pid_namespace});
}

struct Owned {
    std::mutex mutex;
    std::set<std::string> names;
    platform::Pid owner = 0;  // the process the names belong to
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
    if (o.owner != platform::current_process()) o.names.clear();
    o.owner = platform::current_process();
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
    if (o.owner != platform::current_process()) return;
    for (const std::string& name : o.names) platform::remove_block(name);
    o.names.clear();
}

int remove_orphaned_blocks() noexcept try {
    const std::string_view prefix =
        std::string_view(Shm::kNamePrefix).substr(platform::kBlockNameRoot.size());  // no "/"
    return platform::sweep_blocks(prefix, sizeof(Stamp), [](std::string_view trailer) {
        Stamp stamp;
        std::memcpy(&stamp, trailer.data(), sizeof stamp);
        return creator_gone(stamp);
    });
} catch (const std::exception&) {
    return 0;  // out of memory while scanning: the blocks wait for the next server
}

}  // namespace tav::ipc
