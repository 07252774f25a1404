// The Python faces of the cross-process primitives (_Lock, _Event, _Shm). Waits try without
// blocking first and only then release the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/shm.hpp"

namespace tav::ipc {

namespace nb = nanobind;

// A share description as Python sees it: bytes for a lock, a triple of bytes for an event. On
// Windows it is made for the process whose native handle is `process_handle` (required there: the
// semaphores are duplicated into it now); elsewhere for a forked child, and `process_handle` is
// not used.
nb::bytes lock_share(const Lock& lock, nb::handle process_handle);
nb::tuple event_share(const Event& event, nb::handle process_handle);

struct PyLock {
    std::shared_ptr<Lock> lock;

    static void init(PyLock* self, nb::handle from_share);
    bool acquire(bool blocking, nb::handle timeout);
    void release() { lock->release(); }
    nb::bytes share(nb::handle process_handle) const { return lock_share(*lock, process_handle); }
};

struct PyEvent {
    std::shared_ptr<Event> event;

    static void init(PyEvent* self, nb::handle from_share);
    bool wait(nb::handle timeout);
    nb::tuple share(nb::handle process_handle) const { return event_share(*event, process_handle); }
};

// A view handed out by `buf` owns a reference to the mapping, so a view that outlives `close`
// stays valid: the memory goes with the last of them.
struct PyShm {
    std::shared_ptr<Shm> shm;
    nb::object buf;
    long long size;
    std::string name;  // without the leading "/"

    static void init(PyShm* self, long long size, const std::optional<std::string>& name,
                     bool create);
    void close();
    std::optional<uintptr_t> ptr() const;
    static nb::str repr(nb::handle self);
    static nb::tuple reduce(nb::handle self);
};

}  // namespace tav::ipc
