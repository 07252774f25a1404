#include "ipc/python_faces.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "platform/system.hpp"

namespace tav::ipc {

namespace {

double timeout_seconds(nb::handle timeout) {
    return timeout.is_none() ? -1.0 : std::max(0.0, nb::cast<double>(timeout));
}

std::string bytes_of(nb::handle value) {
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    std::string out(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return out;
}

nb::bytes to_bytes(const std::string& s) { return nb::bytes(s.data(), s.size()); }

// Whom a share is made for: a forked child (none), or on Windows the process `process_handle`
// designates, with `handles` duplicated into it now.
std::optional<platform::HandOver> made_for(nb::handle process_handle,
                                           std::vector<platform::Handle> handles) {
    if (!platform::kWindows) return std::nullopt;
    if (process_handle.is_none())
        throw nb::value_error("In Windows, 'process_handle' must be set as the target process");
    platform::HandOver to{std::move(handles), {}, 0};
    const auto value = nb::cast<uint64_t>(process_handle);
    nb::gil_scoped_release release;
    platform::hand_over_to(platform::handle_from_value(value), to);
    return to;
}

}  // namespace

nb::bytes lock_share(const Lock& lock, nb::handle process_handle) {
    auto to = made_for(process_handle, lock.handles());
    return to_bytes(lock.share(to ? &*to : nullptr));
}

nb::tuple event_share(const Event& event, nb::handle process_handle) {
    auto to = made_for(process_handle, event.handles());
    auto d = event.share(to ? &*to : nullptr);
    return nb::make_tuple(to_bytes(d[0]), to_bytes(d[1]), to_bytes(d[2]));
}

void PyLock::init(PyLock* self, nb::handle from_share) {
    const bool fresh = from_share.is_none() || !nb::bool_(from_share);
    new (self) PyLock{fresh ? std::make_shared<Lock>() : Lock::from_share(bytes_of(from_share))};
}

bool PyLock::acquire(bool blocking, nb::handle timeout) {
    if (lock->acquire(false)) return true;
    if (!blocking) return false;
    const double seconds = timeout_seconds(timeout);
    nb::gil_scoped_release release;
    return lock->acquire(true, seconds);
}

void PyEvent::init(PyEvent* self, nb::handle from_share) {
    if (from_share.is_none()) {
        new (self) PyEvent{std::make_shared<Event>()};
        return;
    }
    nb::tuple items = nb::tuple(from_share);
    if (items.size() != 3)
        throw nb::value_error("an _Event share description holds exactly 3 lock descriptions");
    new (self)
        PyEvent{Event::from_share({bytes_of(items[0]), bytes_of(items[1]), bytes_of(items[2])})};
}

bool PyEvent::wait(nb::handle timeout) {
    const double seconds = timeout_seconds(timeout);
    nb::gil_scoped_release release;
    return event->wait(seconds);
}

void PyShm::init(PyShm* self, long long size, const std::optional<std::string>& name, bool create) {
    auto shm = std::make_shared<Shm>(Shm::open(size, name, create));
    using Owner = std::shared_ptr<Shm>;
    nb::capsule owner(new Owner(shm), [](void* p) noexcept { delete static_cast<Owner*>(p); });
    nb::ndarray<nb::memview, uint8_t, nb::ndim<1>> view(shm->data(), {shm->size()}, owner);
    const std::string& full = shm->name();
    new (self) PyShm{shm, nb::cast(view), size, full.starts_with('/') ? full.substr(1) : full};
}

void PyShm::close() {
    buf = nb::none();
    shm.reset();
}

std::optional<uintptr_t> PyShm::ptr() const {
    if (!shm) return std::nullopt;
    return reinterpret_cast<uintptr_t>(shm->data());
}

nb::str PyShm::repr(nb::handle self) {
    PyShm& s = nb::cast<PyShm&>(self);
    return nb::str("{}({!r}, size={})").format(self.type().attr("__name__"), s.name, s.size);
}

nb::tuple PyShm::reduce(nb::handle self) {
    PyShm& s = nb::cast<PyShm&>(self);
    return nb::make_tuple(self.type(), nb::make_tuple(s.size, s.name, false));
}

}  // namespace tav::ipc
