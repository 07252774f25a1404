#include "ipc/lock.hpp"

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace tav::ipc {

namespace {

constexpr char kShareTag[4] = {'T', 'L', 'K', '3'};
constexpr uint32_t kKindSemaphore = 1;
constexpr uint32_t kMaxValue = 1;
constexpr size_t kMaxDescriptors = 3;

// Share description layout (little-endian): tag, the semaphore's address in the sharing process
// (a forked child's too), kind, maximum value, then how many handles a spawned process was
// handed for it and their values there (0 for a forked one).
struct ShareRecord {
    char tag[4];
    uint64_t address;
    uint32_t kind;
    uint32_t max_value;
    uint32_t count;
    uint64_t handles[kMaxDescriptors];
} __attribute__((packed));
static_assert(sizeof(ShareRecord) == 48);

using Registry = std::map<uintptr_t, std::weak_ptr<platform::SharedSemaphore>>;

// The semaphores this process maps, by address, so that a share description can only ever
// designate a live one. A forked child inherits the table with the mappings; the table's lock is
// made anew there, as a host may fork while another thread holds it.
struct Table {
    std::mutex mutex;
    Registry semaphores;
    std::map<uint64_t, std::weak_ptr<platform::SharedSemaphore>> handed;  // by first handle
};
Table& table() {
    static Table* t = [] {
        auto* made = new Table;
        platform::on_fork_child([] { new (&table().mutex) std::mutex; });
        return made;
    }();
    return *t;
}

void enter(const std::shared_ptr<platform::SharedSemaphore>& semaphore) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto& r = t.semaphores;
    for (auto it = r.begin(); it != r.end();) it = it->second.expired() ? r.erase(it) : ++it;
    r[semaphore->address()] = semaphore;
}

[[noreturn]] void invalid() { throw std::invalid_argument("invalid lock share description"); }

}  // namespace

Lock::Lock() : semaphore_(std::make_shared<platform::SharedSemaphore>()) { enter(semaphore_); }

std::shared_ptr<Lock> Lock::from_share(std::string_view description) {
    ShareRecord rec;
    if (description.size() != sizeof rec) invalid();
    std::memcpy(&rec, description.data(), sizeof rec);
    if (std::memcmp(rec.tag, kShareTag, 4) != 0 || rec.kind != kKindSemaphore ||
        rec.max_value != kMaxValue || rec.count > kMaxDescriptors)
        invalid();
    std::shared_ptr<platform::SharedSemaphore> semaphore;
    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (rec.count > 0) {
        // Handed over: the semaphore takes the handles; a second opening shares it.
        std::weak_ptr<platform::SharedSemaphore>& handed = t.handed[rec.handles[0]];
        semaphore = handed.lock();
        if (!semaphore) {
            std::vector<platform::Handle> handles;
            for (uint32_t i = 0; i < rec.count; ++i)
                handles.push_back(platform::handle_from_value(rec.handles[i]));
            semaphore = std::make_shared<platform::SharedSemaphore>(handles);
            handed = semaphore;
        }
    } else {
        auto it = t.semaphores.find(static_cast<uintptr_t>(rec.address));
        if (it != t.semaphores.end()) semaphore = it->second.lock();
    }
    if (!semaphore)
        throw std::invalid_argument("lock share description designates no lock of this process");
    return std::shared_ptr<Lock>(new Lock(std::move(semaphore)));
}

std::string Lock::share(const platform::HandOver* to) const {
    ShareRecord rec{};
    std::memcpy(rec.tag, kShareTag, 4);
    rec.address = semaphore_->address();
    rec.kind = kKindSemaphore;
    rec.max_value = kMaxValue;
    if (to) {
        std::vector<platform::Handle> handles = semaphore_->handles();
        rec.count = static_cast<uint32_t>(handles.size());
        for (size_t i = 0; i < handles.size() && i < kMaxDescriptors; ++i)
            rec.handles[i] = to->pass(handles[i]);
    }
    return std::string(reinterpret_cast<const char*>(&rec), sizeof rec);
}

}  // namespace tav::ipc
