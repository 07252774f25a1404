#include "streaming/worker_process.hpp"

#include "core/python.hpp"
#include "streaming/process.hpp"

namespace tav::streaming {

WorkerProcess::~WorkerProcess() {
    if (!pid_) return;
    kill_process(*pid_);
    py::Unlocked unlocked;
    wait_process(*pid_, kJoinTimeout);  // a killed process ends at once
}

void WorkerProcess::prepare(std::shared_ptr<ipc::Event> wake) {
    keep_ = std::make_shared<ipc::Event>();
    keep_->set();
    wake_ = wake ? std::move(wake) : std::make_shared<ipc::Event>();
}

bool WorkerProcess::launch(const std::function<int()>& body, std::vector<int> keep_fds) {
    started_ = std::chrono::steady_clock::now();
    {
        // Copying a large host's page tables takes a while; the child never touches Python.
        py::Unlocked unlocked;
        pid_ = fork_worker(body, std::move(keep_fds));
    }
    return pid_.has_value();
}

// The keep event is cleared before the wake-up, so that a waiting worker sees at once that it is
// to end. A worker that already died is reaped first: it may have died inside an operation on
// those very events.
void WorkerProcess::stop(const Reclaim& reclaim) {
    if (pid_ && process_ended(*pid_)) {
        reclaim(*pid_);
        pid_.reset();
    }
    {
        // The events' guard is shared with the worker, which may hold it right now.
        py::Unlocked unlocked;
        keep_->clear();
        wake_->set();
    }
    if (pid_) {
        const pid_t pid = *pid_;
        {
            py::Unlocked unlocked;
            if (!wait_process(pid, kJoinTimeout)) {
                kill_process(pid);
                wait_process(pid, kJoinTimeout);
            }
        }
        // Holding the GIL again: a restart on another thread replaces the locks and events.
        reclaim(pid);
    }
    pid_.reset();
}

bool WorkerProcess::ended_on_its_own(int* status, const Reclaim& reclaim) {
    if (!pid_ || std::chrono::steady_clock::now() - started_ < std::chrono::seconds(1))
        return false;
    if (!process_ended(*pid_, status)) return false;
    reclaim(*pid_);
    pid_.reset();
    return true;
}

void WorkerProcess::recover(pid_t pid) {
    for (auto* e : {&keep_, &wake_})
        if (*e) (*e)->recover(pid);
}

}  // namespace tav::streaming
