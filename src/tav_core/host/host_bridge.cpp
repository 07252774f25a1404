#include "host/host_bridge.hpp"

#include "runtime/python.hpp"

namespace tav {

HostBridge::HostBridge(std::function<nb::object()> self, Mode mode, nb::object tavbase,
                       nb::object main_thread_func)
    : self_(std::move(self)),
      mode_(mode),
      tavbase_(std::move(tavbase)),
      main_thread_func_(std::move(main_thread_func)) {}

// The queue outlives a serving period: what the last stop delivered after the host could start
// serving again (its server_did_stop) still runs.
void HostBridge::open() {
    if (mode_ == Mode::pull && !queue_) queue_ = std::make_shared<CallbackQueue>(QUEUE_MAX_SIZE);
    loop_running_ = true;
}

void HostBridge::async_callback(nb::handle callback, nb::args args) {
    if (py::HostContext::active()) {
        // Already in host context (a handler that needs a further host call): run it now rather
        // than wait for a dispatcher this very thread holds.
        py::HostContext context;
        callback(*args);
        return;
    }
    if (mode_ == Mode::push) {
        std::unique_lock lock(push_mutex_, std::defer_lock);
        if (!lock.try_lock()) {
            py::Unlocked unlocked;
            lock.lock();
        }
        if (main_thread_func_.is_valid() && PyObject_IsTrue(main_thread_func_.ptr()) == 1) {
            main_thread_func_(self().attr("_callback_except_wrap"), callback, *args);
        } else {
            if (PyErr_Occurred()) throw nb::python_error();
            py::HostContext context;
            callback(*args);
        }
        return;
    }
    std::shared_ptr<CallbackQueue> queue = queue_;
    if (!queue) throw std::runtime_error("TavServer has no event queue before start_serving()");
    queue->push(Delivery{nb::borrow(callback), nb::borrow<nb::tuple>(args)});
}

void HostBridge::callback_except_wrap(nb::handle callback, nb::args args) {
    py::HostContext context;
    callback(*args);
}

void HostBridge::execute_pending_events() {
    std::shared_ptr<CallbackQueue> queue = queue_;
    if (mode_ != Mode::pull || !queue) return;
    for (int count = 0; count < QUEUE_MAX_SIZE; ++count) {
        std::optional<Delivery> d = queue->pop();
        if (!d) return;
        py::HostContext context;
        d->callback(*d->args);
    }
}

bool HostBridge::is_event_loop_running() {
    if (loop_running_) return true;
    std::shared_ptr<CallbackQueue> queue = queue_;
    return mode_ == Mode::pull && queue && !queue->empty();
}

void HostBridge::deliver(nb::handle callable, nb::tuple args) {
    async_callback(callable, nb::borrow<nb::args>(args));
}

void HostBridge::async_log(std::string_view message) {
    deliver(self().attr("_log"), nb::make_tuple(nb::str(message.data(), message.size())));
}

}  // namespace tav
