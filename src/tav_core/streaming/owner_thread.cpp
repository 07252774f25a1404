#include "streaming/owner_thread.hpp"

#include <exception>

#include "runtime/one_shot.hpp"
#include "runtime/python.hpp"

namespace tav::streaming {

namespace {
// The queue the calling thread serves, if it is an owner thread.
thread_local const void* served = nullptr;
}  // namespace

OwnerThread::OwnerThread(std::string name) {
    DaemonThread::start(std::move(name), [queue = queue_] { serve(*queue); });
}

OwnerThread::~OwnerThread() {
    {
        std::lock_guard lock(queue_->mutex);
        queue_->ended = true;
    }
    queue_->wake.notify_all();
}

bool OwnerThread::is_current() const { return served == queue_.get(); }

void OwnerThread::run(const std::function<void()>& message) {
    if (is_current()) {
        message();
        return;
    }
    auto done = std::make_shared<OneShot>();
    std::exception_ptr error;
    {
        std::lock_guard lock(queue_->mutex);
        // The poster waits for it: what the message refers to on its stack outlives it.
        queue_->messages.push_back([&message, &error, done] {
            try {
                py::Gil gil;
                message();
            } catch (...) {
                error = std::current_exception();
            }
            done->set();
        });
    }
    queue_->wake.notify_one();
    {
        py::Unlocked unlocked;
        done->wait();
    }
    if (error) std::rethrow_exception(error);
}

void OwnerThread::serve(Queue& queue) {
    served = &queue;
    std::unique_lock lock(queue.mutex);
    for (;;) {
        queue.wake.wait(lock, [&] { return queue.ended || !queue.messages.empty(); });
        if (queue.messages.empty()) return;
        std::function<void()> message = std::move(queue.messages.front());
        queue.messages.pop_front();
        lock.unlock();
        message();
        lock.lock();
    }
}

}  // namespace tav::streaming
