// One thread that owns a piece of state: it runs the messages posted to it one at a time, in the
// order they came, each holding the GIL (let go only where the message waits). The poster waits for
// its message without the GIL, and gets its error back.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/daemon_thread.hpp"

namespace tav::streaming {

class OwnerThread {
  public:
    // Starts the thread now, not at the first message: that may come when the process can no
    // longer make a thread (a host that limits its memory while it prepares a stream).
    explicit OwnerThread(std::string name);
    // The thread ends once it has run what was posted; nothing waits for it.
    ~OwnerThread();
    OwnerThread(const OwnerThread&) = delete;
    OwnerThread& operator=(const OwnerThread&) = delete;

    // Runs `message` on the thread and waits for it; the caller
    // holds the GIL, which it lets go while it waits. An error the message raised is raised here.
    // On the thread itself the message runs at once.
    void run(const std::function<void()>& message);
    // Whether the calling thread is this one.
    bool is_current() const;

  private:
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> messages;  // guarded by mutex
        bool ended = false;                          // guarded by mutex
    };
    static void serve(Queue& queue);

    const std::shared_ptr<Queue> queue_ = std::make_shared<Queue>();
};

}  // namespace tav::streaming
