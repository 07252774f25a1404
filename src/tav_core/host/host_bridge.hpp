// The host bridge: the only place where the server's threads cross into the host's Python. It
// owns the event mode, the push-mode lock, the pull-mode queue and the host context: a delivery
// runs a callable in host context at once (push, or already in host context), through the host's
// main_thread_func (push), or queues it for execute_pending_events (pull). Threads, locks and the
// GIL: docs/threads.md.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "host/callback_queue.hpp"
#include "host/host_values.hpp"

namespace tav {

namespace nb = nanobind;

class HostBridge {
  public:
    enum class Mode { push = 0, pull = 1 };
    static constexpr int QUEUE_MAX_SIZE = 3;

    // `self` gives the server's Python object, which host operations receive first.
    HostBridge(std::function<nb::object()> self, Mode mode, nb::object tavbase,
               nb::object main_thread_func);

    Mode mode() const { return mode_; }
    const nb::object& tavbase() const { return tavbase_; }
    const nb::object& main_thread_func() const { return main_thread_func_; }
    // The server's Python object.
    nb::object self() const { return self_(); }

    // Serving starts: pull mode gets its queue, and the host's loop is told to run.
    void open();
    // The host's loop may end once the queue is drained.
    void close() { loop_running_ = false; }
    bool loop_running() const { return loop_running_; }

    // Runs `callback(*args)` in host context: now, through main_thread_func, or queued.
    void async_callback(nb::handle callback, nb::args args);
    // main_thread_func's wrapper: runs `callback(*args)` in host context.
    void callback_except_wrap(nb::handle callback, nb::args args);
    void execute_pending_events();
    bool is_event_loop_running();

    // Delivers `callable(*args)`.
    void deliver(nb::handle callable, nb::tuple args = nb::tuple());
    // Delivers a C++ function: it is wrapped as a Python callable that keeps the server alive.
    template <typename F>
    void deliver_native(F&& fn) {
        deliver(nb::cpp_function([keep = self(), fn = std::forward<F>(fn)] { fn(); }));
    }
    // Delivers the host operation `operation(server, *args)`.
    template <typename... Args>
    void deliver_host(const char* operation, Args&&... args) {
        deliver(tavbase_.attr(operation), nb::make_tuple(self(), std::forward<Args>(args)...));
    }
    // Delivers one log line.
    void async_log(std::string_view message);

    // Calls a host operation directly (already in host context). Its result carries the
    // operation's name to the checks that convert it; an error it raises gets a note naming it.
    template <typename... Args>
    host_values::Returned call(const char* operation, Args&&... args) {
        try {
            return {tavbase_.attr(operation)(self(), std::forward<Args>(args)...), operation};
        } catch (nb::python_error& e) {
            host_values::note_raised_by(e, operation);
            throw;
        }
    }

  private:
    const std::function<nb::object()> self_;
    const Mode mode_;
    nb::object tavbase_, main_thread_func_;
    std::mutex push_mutex_;
    std::shared_ptr<CallbackQueue> queue_;
    std::atomic<bool> loop_running_{false};
};

}  // namespace tav
