// The pull-mode callback queue: bounded, many producers, one consumer (the host's main thread).
#pragma once

#include <nanobind/nanobind.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace tav {

namespace nb = nanobind;

struct Delivery {
    nb::object callback;
    nb::tuple args;
};

class CallbackQueue {
  public:
    explicit CallbackQueue(size_t capacity) : capacity_(capacity) {}
    ~CallbackQueue();

    // Appends, waiting for space without the GIL when the queue is full (the server's
    // back-pressure). The caller holds the GIL.
    void push(Delivery delivery);
    // Takes the oldest entry, if any (the caller holds the GIL).
    std::optional<Delivery> pop();
    bool empty();

  private:
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable space_;
    std::deque<Delivery> entries_;
};

}  // namespace tav
