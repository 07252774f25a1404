// Without futexes: the count is a token byte in a pipe (taken by reading it, given back by
// writing it), and the holder's pid sits in a word of shared memory beside it, a memory file
// whose name is removed at once. A forked child inherits the three descriptors, a spawned one is
// handed them. A process that dies between taking the token and recording itself leaves the lock
// taken for good; the window is a few instructions.
#include "platform/shared_semaphore.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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
    void give_token() const {
        const char token = 1;
        while (::write(token_out, &token, 1) < 0 && errno == EINTR) {
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
    state_->give_token();
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
    using clock = std::chrono::steady_clock;
    const bool limited = timeout >= 0;
    const auto deadline = clock::now() + std::chrono::duration<double>(limited ? timeout : 0.0);
    for (;;) {
        char token;
        if (::read(state_->token_in, &token, 1) == 1) {
            state_->cell->take(static_cast<uint32_t>(::getpid()));
            return true;
        }
        if (!blocking) return false;
        int wait_ms = -1;
        if (limited) {
            double left = std::chrono::duration<double>(deadline - clock::now()).count();
            if (left <= 0) return false;
            wait_ms = static_cast<int>(left * 1000) + 1;
        }
        pollfd p{state_->token_in, POLLIN, 0};
        ::poll(&p, 1, wait_ms);  // another waiter may take the token first: then wait again
    }
}

void SharedSemaphore::release() {
    state_->cell->free();
    state_->give_token();
}

bool SharedSemaphore::recover(Pid pid) {
    if (!state_->cell->free_if_held_by(static_cast<uint32_t>(pid))) return false;
    state_->give_token();
    return true;
}

bool SharedSemaphore::locked() const { return state_->cell->held(); }

std::vector<Handle> SharedSemaphore::handles() const {
    return {state_->token_in, state_->token_out, state_->memory};
}

uintptr_t SharedSemaphore::address() const { return reinterpret_cast<uintptr_t>(state_->cell); }

}  // namespace tav::platform
