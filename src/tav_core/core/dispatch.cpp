// Event dispatch: the host context in which host operations and command handlers run.
#include <mutex>

#include "core/python.hpp"
#include "core/server.hpp"

namespace tav {

void TavServer::async_callback(nb::handle callback, nb::args args) {
    if (py::HostContext::active()) {
        // Already in host context (a handler that needs a further host call): run it now rather
        // than wait for a dispatcher this very thread holds.
        py::HostContext context;
        callback(*args);
        return;
    }
    if (event_mode_ == EVENTMODE_PUSH) {
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
    std::shared_ptr<CallbackQueue> queue = callback_queue_;
    if (!queue) throw std::runtime_error("TavServer has no event queue before start_serving()");
    queue->push(Delivery{nb::borrow(callback), nb::borrow<nb::tuple>(args)});
}

void TavServer::callback_except_wrap(nb::handle callback, nb::args args) {
    py::HostContext context;
    callback(*args);
}

void TavServer::execute_pending_events() {
    std::shared_ptr<CallbackQueue> queue = callback_queue_;
    if (event_mode_ != EVENTMODE_PULL || !queue) return;
    for (int count = 0; count < QUEUE_MAX_SIZE; ++count) {
        std::optional<Delivery> d = queue->pop();
        if (!d) return;
        py::HostContext context;
        d->callback(*d->args);
    }
}

bool TavServer::is_event_loop_running() {
    if (is_event_loop_running_) return true;
    std::shared_ptr<CallbackQueue> queue = callback_queue_;
    return event_mode_ == EVENTMODE_PULL && queue && !queue->empty();
}

void TavServer::deliver(const char* method, nb::tuple args) {
    async_callback(self().attr(method), nb::borrow<nb::args>(args));
}

void TavServer::deliver_host(const char* operation) {
    async_callback(tavbase_.attr(operation), nb::borrow<nb::args>(nb::make_tuple(self())));
}

void TavServer::async_log(std::string_view message) {
    deliver("_log", nb::make_tuple(nb::str(message.data(), message.size())));
}

}  // namespace tav
