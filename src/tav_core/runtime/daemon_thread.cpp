#include "runtime/daemon_thread.hpp"

#include <chrono>
#include <thread>
#include <utility>

#include "platform/thread_identity.hpp"
#include "runtime/python.hpp"

namespace tav {

namespace {

// The body's captures may own Python references. They go holding the GIL before the thread
// ends, never in the closure's destructor after it, when the interpreter may be finalizing. Once
// the interpreter began to exit they are left to the process's end instead.
void release(std::function<void()>& body) {
    auto owned = std::make_unique<std::function<void()>>(std::exchange(body, nullptr));
    try {
        py::Gil gil;
        owned.reset();
    } catch (py::InterpreterExit&) {
        (void)owned.release();
    }
}

}  // namespace

DaemonThread DaemonThread::start(std::string name, std::function<void()> body) {
    DaemonThread t;
    t.state_ = std::make_shared<State>();
    std::thread thread(
        [state = t.state_, name = std::move(name), body = std::move(body)]() mutable {
            platform::name_this_thread(name);
            {
                std::lock_guard lock(state->mutex);
                state->ident = platform::this_thread_id();
            }
            {
                py::ThreadState python;
                try {
                    body();
                } catch (py::InterpreterExit&) {
                } catch (...) {
                    py::report_current_exception_unlocked(name);
                }
                release(body);
            }
            {
                std::lock_guard lock(state->mutex);
                state->done = true;
            }
            state->ended.notify_all();
        });
    {
        std::lock_guard lock(t.state_->mutex);
        t.state_->ident = platform::thread_id(thread);
    }
    thread.detach();
    return t;
}

bool DaemonThread::join(double seconds) const {
    if (!state_) return true;
    std::unique_lock lock(state_->mutex);
    return state_->ended.wait_for(lock, std::chrono::duration<double>(seconds),
                                  [&] { return state_->done; });
}

bool DaemonThread::alive() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return !state_->done;
}

bool DaemonThread::is_current() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return state_->ident == platform::this_thread_id();
}

}  // namespace tav
