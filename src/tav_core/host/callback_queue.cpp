#include "host/callback_queue.hpp"

#include "runtime/python.hpp"

namespace tav {

CallbackQueue::~CallbackQueue() {
    for (Delivery& d : entries_) {
        py::drop(std::move(d.callback));
        py::drop(std::move(d.args));
    }
}

void CallbackQueue::push(Delivery delivery) {
    {
        std::lock_guard lock(mutex_);
        if (entries_.size() < capacity_) {
            entries_.push_back(std::move(delivery));
            return;
        }
    }
    py::Unlocked unlocked;
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return entries_.size() < capacity_; });
    entries_.push_back(std::move(delivery));
}

std::optional<Delivery> CallbackQueue::pop() {
    std::optional<Delivery> d;
    {
        std::lock_guard lock(mutex_);
        if (entries_.empty()) return d;
        d = std::move(entries_.front());
        entries_.pop_front();
    }
    space_.notify_one();
    return d;
}

bool CallbackQueue::empty() {
    std::lock_guard lock(mutex_);
    return entries_.empty();
}

}  // namespace tav
