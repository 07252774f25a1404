#include "core/daemon_thread.hpp"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/python.hpp"

namespace tav {

DaemonThread DaemonThread::start(std::string name, std::function<void()> body) {
    DaemonThread t;
    t.state_ = std::make_shared<State>();
    std::thread thread([state = t.state_, name = std::move(name), body = std::move(body)] {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        {
            std::lock_guard lock(state->mutex);
            state->ident = static_cast<unsigned long>(pthread_self());
        }
        try {
            py::ThreadState python;
            body();
        } catch (py::InterpreterExit&) {
        } catch (std::exception& e) {
            std::fprintf(stderr, "Tavrel: thread %s ended: %s\n", name.c_str(), e.what());
        }
        {
            std::lock_guard lock(state->mutex);
            state->done = true;
        }
        state->ended.notify_all();
    });
    {
        std::lock_guard lock(t.state_->mutex);
        t.state_->ident = static_cast<unsigned long>(thread.native_handle());
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
    return state_->ident == static_cast<unsigned long>(pthread_self());
}

}  // namespace tav
