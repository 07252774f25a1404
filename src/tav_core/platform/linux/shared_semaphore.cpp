// A futex word in a small memory file (memfd): a forked child maps it at the same address, a
// spawned one maps the descriptor it was handed.
#include "platform/shared_semaphore.hpp"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <stdexcept>
#include <system_error>

namespace tav::platform {

namespace {

constexpr uint32_t kMagic = 0x4b434c54;  // "TLCK"

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

Cell* map_cell(int fd) {
    void* p = ::mmap(nullptr, sizeof(Cell), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "mmap");
    return static_cast<Cell*>(p);
}

}  // namespace

struct SharedSemaphore::State {
    int fd = -1;
    Cell* cell = nullptr;
    ~State() {
        if (cell) ::munmap(cell, sizeof(Cell));
        if (fd >= 0) ::close(fd);
    }
};

SharedSemaphore::SharedSemaphore() : state_(std::make_unique<State>()) {
    state_->fd = static_cast<int>(::memfd_create("tavrel-lock", MFD_CLOEXEC));
    if (state_->fd < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
    if (::ftruncate(state_->fd, sizeof(Cell)) != 0)
        throw std::system_error(errno, std::generic_category(), "ftruncate");
    state_->cell = new (map_cell(state_->fd)) Cell{kMagic, {0}, {0}};
}

SharedSemaphore::SharedSemaphore(const std::vector<Handle>& descriptors)
    : state_(std::make_unique<State>()) {
    // Taken over only once they proved to be a semaphore: nothing else is closed by mistake.
    struct stat st;
    if (descriptors.size() != 1 || ::fstat(descriptors[0], &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != static_cast<off_t>(sizeof(Cell)))
        throw std::invalid_argument("lock share description designates no lock of this process");
    state_->cell = map_cell(descriptors[0]);
    if (state_->cell->magic != kMagic)
        throw std::invalid_argument("lock share description designates no lock of this process");
    state_->fd = descriptors[0];
}

SharedSemaphore::~SharedSemaphore() = default;

bool SharedSemaphore::acquire(bool blocking, double timeout) {
    Cell& c = *state_->cell;
    const uint32_t me = static_cast<uint32_t>(::getpid());
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

void SharedSemaphore::release() {
    Cell& c = *state_->cell;
    uint32_t held = c.word.load();
    do {
        if (held == 0) throw std::invalid_argument("semaphore or lock released too many times");
    } while (!c.word.compare_exchange_weak(held, 0));
    if (c.waiters.load() > 0) futex(&c.word, FUTEX_WAKE, 1, nullptr);
}

bool SharedSemaphore::recover(Pid pid) {
    Cell& c = *state_->cell;
    uint32_t held = static_cast<uint32_t>(pid);
    if (!c.word.compare_exchange_strong(held, 0)) return false;
    if (c.waiters.load() > 0) futex(&c.word, FUTEX_WAKE, 1, nullptr);
    return true;
}

bool SharedSemaphore::locked() const { return state_->cell->word.load() != 0; }

std::vector<Handle> SharedSemaphore::handles() const { return {state_->fd}; }

uintptr_t SharedSemaphore::address() const { return reinterpret_cast<uintptr_t>(state_->cell); }

}  // namespace tav::platform
