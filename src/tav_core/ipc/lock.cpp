#include "ipc/lock.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace tav::ipc {

namespace {

constexpr uint32_t kMagic = 0x4b434c54;  // "TLCK"
constexpr char kShareTag[4] = {'T', 'L', 'K', '1'};
constexpr uint32_t kKindSemaphore = 1;
constexpr uint32_t kMaxValue = 1;

// Share description layout: tag, mapping address, kind, maximum value (little-endian).
struct ShareRecord {
    char tag[4];
    uint64_t address;
    uint32_t kind;
    uint32_t max_value;
} __attribute__((packed));
static_assert(sizeof(ShareRecord) == 20);

struct Cell {
    uint32_t magic;
    std::atomic<uint32_t> word;  // 0: free; otherwise the pid of the holder
    std::atomic<uint32_t> waiters;
};

long futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

timespec to_timespec(double seconds) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    return ts;
}

}  // namespace

struct Lock::Segment {
    Cell* cell = nullptr;

    Segment() {
        void* p =
            mmap(nullptr, sizeof(Cell), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
        cell = new (p) Cell{kMagic, {0}, {0}};
    }
    ~Segment() { munmap(cell, sizeof(Cell)); }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
};

namespace {

// The segments this process maps, by address, so that a share description can only ever designate
// a live mapping (a forked child inherits the table with the mappings).
std::mutex& registry_mutex() {
    static std::mutex* m = [] {
        auto* mutex = new std::mutex;
        // A host that forks while another thread holds the table's lock must not leave its child
        // unable to open shared locks.
        pthread_atfork(nullptr, nullptr, [] { new (&registry_mutex()) std::mutex; });
        return mutex;
    }();
    return *m;
}
std::map<uintptr_t, std::weak_ptr<Lock::Segment>>& registry() {
    static auto* r = new std::map<uintptr_t, std::weak_ptr<Lock::Segment>>;
    return *r;
}

}  // namespace

Lock::Lock() : segment_(std::make_shared<Segment>()) {
    std::lock_guard lock(registry_mutex());
    auto& r = registry();
    for (auto it = r.begin(); it != r.end();) it = it->second.expired() ? r.erase(it) : ++it;
    r[reinterpret_cast<uintptr_t>(segment_->cell)] = segment_;
}

Lock::Lock(std::shared_ptr<Segment> segment) : segment_(std::move(segment)) {}

std::shared_ptr<Lock> Lock::from_share(std::string_view description) {
    ShareRecord rec;
    if (description.size() != sizeof rec)
        throw std::invalid_argument("invalid lock share description");
    std::memcpy(&rec, description.data(), sizeof rec);
    if (std::memcmp(rec.tag, kShareTag, 4) != 0 || rec.kind != kKindSemaphore ||
        rec.max_value != kMaxValue)
        throw std::invalid_argument("invalid lock share description");
    std::shared_ptr<Segment> segment;
    {
        std::lock_guard lock(registry_mutex());
        auto it = registry().find(static_cast<uintptr_t>(rec.address));
        if (it != registry().end()) segment = it->second.lock();
    }
    if (!segment || segment->cell->magic != kMagic)
        throw std::invalid_argument("lock share description designates no lock of this process");
    return std::shared_ptr<Lock>(new Lock(std::move(segment)));
}

bool Lock::acquire(bool blocking, double timeout) {
    Cell& c = *segment_->cell;
    const uint32_t me = static_cast<uint32_t>(getpid());
    const bool limited = timeout >= 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(limited ? timeout : 0.0);
    for (;;) {
        uint32_t seen = 0;
        if (c.word.compare_exchange_strong(seen, me)) return true;
        if (!blocking) return false;
        timespec ts;
        const timespec* tsp = nullptr;
        if (limited) {
            double left =
                std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            ts = to_timespec(left);
            tsp = &ts;
        }
        c.waiters.fetch_add(1);
        futex(&c.word, FUTEX_WAIT, seen, tsp);  // EINTR, EAGAIN and time-outs all retry the take
        c.waiters.fetch_sub(1);
    }
}

void Lock::release() {
    Cell& c = *segment_->cell;
    uint32_t held = c.word.load();
    do {
        if (held == 0) throw std::invalid_argument("semaphore or lock released too many times");
    } while (!c.word.compare_exchange_weak(held, 0));
    if (c.waiters.load() > 0) futex(&c.word, FUTEX_WAKE, 1, nullptr);
}

bool Lock::recover(pid_t pid) {
    Cell& c = *segment_->cell;
    uint32_t held = static_cast<uint32_t>(pid);
    if (!c.word.compare_exchange_strong(held, 0)) return false;
    if (c.waiters.load() > 0) futex(&c.word, FUTEX_WAKE, 1, nullptr);
    return true;
}

bool Lock::locked() const { return segment_->cell->word.load() != 0; }

std::string Lock::share() const {
    ShareRecord rec;
    std::memcpy(rec.tag, kShareTag, 4);
    rec.address = reinterpret_cast<uintptr_t>(segment_->cell);
    rec.kind = kKindSemaphore;
    rec.max_value = kMaxValue;
    return std::string(reinterpret_cast<const char*>(&rec), sizeof rec);
}

}  // namespace tav::ipc
