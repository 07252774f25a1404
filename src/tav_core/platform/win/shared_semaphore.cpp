// An unnamed paging-file mapping of one Cell, the lock word, and beside it an unnamed semaphore
// object (maximum count 1) that wakes waiters: a release posts it, and posts that find it posted
// already merge. A spawned child is handed both handles, duplicated into it.
#include "platform/shared_semaphore.hpp"

#include <windows.h>

#include <new>
#include <stdexcept>
#include <system_error>

#include "platform/shared_semaphore_parts.hpp"

namespace tav::platform {

namespace {

using Cell = detail::HolderCell;

std::system_error failure(const char* what) {
    return std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

Cell* map_cell(HANDLE mapping) {
    void* p = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Cell));
    if (!p) throw failure("MapViewOfFile");
    return static_cast<Cell*>(p);
}

[[noreturn]] void not_a_lock() {
    throw std::invalid_argument("lock share description designates no lock of this process");
}

}  // namespace

struct SharedSemaphore::State {
    HANDLE semaphore = nullptr, memory = nullptr;
    Cell* cell = nullptr;
    ~State() {
        if (cell) UnmapViewOfFile(cell);
        for (HANDLE h : {semaphore, memory})
            if (h) CloseHandle(h);
    }
    // A wake-up for one waiter; one that is pending already is enough.
    void wake() const { ReleaseSemaphore(semaphore, 1, nullptr); }
};

SharedSemaphore::SharedSemaphore() : state_(std::make_unique<State>()) {
    state_->semaphore = CreateSemaphoreW(nullptr, 0, 1, nullptr);
    if (!state_->semaphore) throw failure("CreateSemaphoreW");
    state_->memory =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Cell), nullptr);
    if (!state_->memory) throw failure("CreateFileMappingW");
    state_->cell = new (map_cell(state_->memory)) Cell{};
}

SharedSemaphore::SharedSemaphore(const std::vector<Handle>& handles)
    : state_(std::make_unique<State>()) {
    // Taken over only once they proved to be a semaphore: nothing else is closed by mistake.
    DWORD flags;
    if (handles.size() != 2 || !GetHandleInformation(handles[0], &flags) ||
        !GetHandleInformation(handles[1], &flags))
        not_a_lock();
    void* p = MapViewOfFile(handles[1], FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Cell));
    if (!p) not_a_lock();
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(p, &region, sizeof region) < sizeof region ||
        !static_cast<Cell*>(p)->valid()) {
        UnmapViewOfFile(p);
        not_a_lock();
    }
    state_->cell = static_cast<Cell*>(p);
    state_->semaphore = handles[0];
    state_->memory = handles[1];
}

SharedSemaphore::~SharedSemaphore() = default;

bool SharedSemaphore::acquire(bool blocking, double timeout) {
    return detail::take(*state_->cell, static_cast<uint32_t>(GetCurrentProcessId()), blocking,
                        timeout, [this](int ms) {
                            if (WaitForSingleObject(state_->semaphore,
                                                    ms < 0 ? INFINITE : DWORD(ms)) == WAIT_FAILED)
                                throw failure("WaitForSingleObject");
                        });
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

std::vector<Handle> SharedSemaphore::handles() const { return {state_->semaphore, state_->memory}; }

uintptr_t SharedSemaphore::address() const { return reinterpret_cast<uintptr_t>(state_->cell); }

}  // namespace tav::platform
