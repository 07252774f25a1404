#include "ipc/event.hpp"

namespace tav::ipc {

Event::Event()
    : flag_(std::make_shared<Lock>()),
      lock_(std::make_shared<Lock>()),
      wait_(std::make_shared<Lock>()) {
    clear();
}

Event::Event(std::shared_ptr<Lock> flag, std::shared_ptr<Lock> lock, std::shared_ptr<Lock> wait)
    : flag_(std::move(flag)), lock_(std::move(lock)), wait_(std::move(wait)) {}

std::shared_ptr<Event> Event::from_share(const std::array<std::string, 3>& d) {
    auto flag = Lock::from_share(d[0]);
    auto lock = Lock::from_share(d[1]);
    auto wait = Lock::from_share(d[2]);
    return std::shared_ptr<Event>(new Event(std::move(flag), std::move(lock), std::move(wait)));
}

bool Event::is_set() {
    Held held(*lock_);
    if (!flag_->acquire(false)) return false;
    flag_->release();
    return true;
}

void Event::set() {
    Held held(*lock_);
    flag_->acquire(false);
    flag_->release();
    wait_->acquire(false);
    wait_->release();
}

void Event::clear() {
    Held held(*lock_);
    wait_->acquire(false);
    flag_->acquire(false);
}

bool Event::wait(double timeout) {
    lock_->acquire();
    bool result = false;
    if (flag_->acquire(false)) {
        flag_->release();
        result = true;
    } else {
        lock_->release();
        wait_->acquire(true, timeout);
        lock_->acquire();
        if (flag_->acquire(false)) {
            flag_->release();
            result = true;
        }
    }
    lock_->release();
    return result;
}

std::array<std::string, 3> Event::share(const platform::HandOver* to) const {
    return {flag_->share(to), lock_->share(to), wait_->share(to)};
}

std::vector<platform::Handle> Event::handles() const {
    std::vector<platform::Handle> out;
    for (const auto* l : {&flag_, &lock_, &wait_}) {
        std::vector<platform::Handle> handles = (*l)->handles();
        out.insert(out.end(), handles.begin(), handles.end());
    }
    return out;
}

}  // namespace tav::ipc
