// Native threads that never keep the host process alive, with a join that has a time limit.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tav {

// Seconds a stop waits for a server thread or a worker process to end.
inline constexpr double kJoinTimeout = 5;

class DaemonThread {
  public:
    DaemonThread() = default;

    // Starts `body` on a new detached thread named `name`. The body owns its error handling;
    // InterpreterExit ends it quietly.
    static DaemonThread start(std::string name, std::function<void()> body);

    // Waits (the caller must not hold the GIL) until the thread ended or `seconds` passed;
    // true when it ended.
    bool join(double seconds) const;
    bool alive() const;
    bool is_current() const;
    explicit operator bool() const { return bool(state_); }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        unsigned long ident = 0;
    };
    std::shared_ptr<State> state_;
};

}  // namespace tav
