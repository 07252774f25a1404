// Without futexes: the lock word lives in a memory file whose name is removed at once, and a
// pipe beside it wakes waiters (a release writes a byte; a woken waiter reads all there are). A
// forked child inherits the three descriptors, a spawned one is handed them.
#include "platform/shared_semaphore.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/secure_random.hpp"
#include "platform/shared_semaphore_parts.hpp"

namespace tav::platform {

namespace {

using Cell = detail::HolderCell;

std::system_error failure(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

// A memory file of one Cell that no name leads to.
int anonymous_memory() {
    for (;;) {
        uint32_t random;
        secure_random(&random, sizeof random);
        char name[32];
        std::snprintf(name, sizeof name, "/tavlock_%08x", random);
        int fd = ::shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            throw failure("shm_open");
        }
        ::shm_unlink(name);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        if (::ftruncate(fd, sizeof(Cell)) != 0) {
            ::close(fd);
            throw failure("ftruncate");
        }
        return fd;
    }
}

Cell* map_cell(int fd) {
    void* p = ::mmap(nullptr, sizeof(Cell), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) throw failure("mmap");
    return static_cast<Cell*>(p);
}

}  // namespace

struct SharedSemaphore::State {
    int token_in = -1, token_out = -1, memory = -1;  // pipe read end, write end, the cell's file
    Cell* cell = nullptr;
    ~State() {
        if (cell) ::munmap(cell, sizeof(Cell));
        for (int fd : {token_in, token_out, memory})
            if (fd >= 0) ::close(fd);
    }
    // A wake-up for the waiters; when the pipe is full, they have plenty already.
    void wake() const {
        const char byte = 1;
        while (::write(token_out, &byte, 1) < 0 && errno == EINTR) {
        }
    }
    void wait_for_wake(int ms) const {
        pollfd p{token_in, POLLIN, 0};
        ::poll(&p, 1, ms);
        char bytes[64];
        while (::read(token_in, bytes, sizeof bytes) > 0) {
        }
    }
};

SharedSemaphore::SharedSemaphore() : state_(std::make_unique<State>()) {
    int ends[2];
    if (::pipe(ends) != 0) throw failure("pipe");
    state_->token_in = ends[0];
    state_->token_out = ends[1];
    for (int fd : ends) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    state_->memory = anonymous_memory();
    state_->cell = new (map_cell(state_->memory)) Cell{};
}

SharedSemaphore::SharedSemaphore(const std::vector<Handle>& descriptors)
    : state_(std::make_unique<State>()) {
    // Taken over only once they proved to be a semaphore: nothing else is closed by mistake.
    struct stat st;
    if (descriptors.size() != 3 || ::fstat(descriptors[2], &st) != 0 ||
        st.st_size != static_cast<off_t>(sizeof(Cell)) || ::fstat(descriptors[0], &st) != 0 ||
        !S_ISFIFO(st.st_mode) || ::fstat(descriptors[1], &st) != 0 || !S_ISFIFO(st.st_mode))
        throw std::invalid_argument("lock share description designates no lock of this process");
    state_->cell = map_cell(descriptors[2]);
    if (!state_->cell->valid())
        throw std::invalid_argument("lock share description designates no lock of this process");
    state_->token_in = descriptors[0];
    state_->token_out = descriptors[1];
    state_->memory = descriptors[2];
}

SharedSemaphore::~SharedSemaphore() = default;

bool SharedSemaphore::acquire(bool blocking, double timeout) {
    return detail::take(*state_->cell, static_cast<uint32_t>(::getpid()), blocking, timeout,
                        [this](int ms) { state_->wait_for_wake(ms); });
}

void SharedSemaphore::release() {
    state_->cell->free();
    state_->wake();
}

bool SharedSemaphore::recover(Pid pid) {
    // Woken either way: the dead process may have taken a wake-up meant for another waiter.
    const bool held = state_->cell->free_if_held_by(static_cast<uint32_t>(pid));
    state_->wake();
    return held;
}

bool SharedSemaphore::locked() const { return state_->cell->held(); }

std::vector<Handle> SharedSemaphore::handles() const {
    return {state_->token_in, state_->token_out, state_->memory};
}

uintptr_t SharedSemaphore::address() const { return reinterpret_cast<uintptr_t>(state_->cell); }

}  // namespace tav::platform
