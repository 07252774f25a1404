#include "streaming/worker_process.hpp"

#include "platform/descriptors.hpp"
#include "runtime/python.hpp"
#include "streaming/worker_launch.hpp"

namespace tav::streaming {

WorkerProcess::~WorkerProcess() {
    if (pid_) {
        platform::kill_process(*pid_);
        py::Unlocked unlocked;
        platform::wait_process(*pid_, kJoinTimeout);  // a killed process ends at once
    }
    platform::close_descriptor(input_);
    platform::close_descriptor(output_);
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
        pid_ = platform::fork_child(body, std::move(keep_fds));
    }
    return pid_.has_value();
}

void WorkerProcess::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const platform::HandOver& hand_over, const std::string& block) {
    started_ = std::chrono::steady_clock::now();
    platform::Spawned child;
    {
        py::Unlocked unlocked;
        child = platform::spawn(argv, env, hand_over);
        // A few hundred bytes: the pipe takes them without waiting for the reader. A child that
        // is gone already shows at its end.
        platform::write_all(child.input, block);
    }
    pid_ = child.pid;
    input_ = child.input;
    output_ = child.output;
}

// A spawned worker's standard input is its lifeline: it is closed only once the worker ended.
WorkerProcess::End WorkerProcess::finish(int status) {
    End end{status, true, {}};
    if (output_ >= 0) {
        end.output = platform::read_to_end(output_);
        const size_t mark = end.output.find(kReadyMark);
        end.started = mark != std::string::npos;
        if (end.started) end.output.erase(mark, kReadyMark.size());
    }
    platform::close_descriptor(input_);
    platform::close_descriptor(output_);
    input_ = output_ = -1;
    pid_.reset();
    return end;
}

// The keep event is cleared before the wake-up, so that a waiting worker sees at once that it is
// to end. A worker that already died is reaped first: it may have died inside an operation on
// those very events.
WorkerProcess::End WorkerProcess::stop(const Reclaim& reclaim) {
    int status = 0;
    if (pid_ && platform::process_ended(*pid_, &status)) {
        reclaim(*pid_);
        return finish(status);
    }
    {
        // The events' guard is shared with the worker, which may hold it right now.
        py::Unlocked unlocked;
        keep_->clear();
        wake_->set();
    }
    if (!pid_) return finish(0);
    const Pid pid = *pid_;
    {
        py::Unlocked unlocked;
        if (!platform::wait_process(pid, kJoinTimeout)) {
            platform::kill_process(pid);
            platform::wait_process(pid, kJoinTimeout);
        }
    }
    // Holding the GIL again: a restart on another thread replaces the locks and events.
    reclaim(pid);
    return finish(0);
}

std::optional<WorkerProcess::End> WorkerProcess::ended_on_its_own(const Reclaim& reclaim) {
    if (!pid_ || std::chrono::steady_clock::now() - started_ < std::chrono::seconds(1))
        return std::nullopt;
    int status = 0;
    if (!platform::process_ended(*pid_, &status)) return std::nullopt;
    reclaim(*pid_);
    return finish(status);
}

void WorkerProcess::recover(Pid pid) {
    for (auto* e : {&keep_, &wake_})
        if (*e) (*e)->recover(pid);
}

}  // namespace tav::streaming
