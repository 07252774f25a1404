#include "streaming/worker_process.hpp"

#include "platform/descriptors.hpp"
#include "runtime/python.hpp"
#include "streaming/worker_launch.hpp"

namespace tav::streaming {

WorkerProcess::~WorkerProcess() {
    if (process_) {
        platform::kill_process(*process_);
        py::Unlocked unlocked;
        platform::wait_process(*process_, kJoinTimeout);  // a killed process ends at once
    }
}

void WorkerProcess::prepare(std::shared_ptr<ipc::Event> wake) {
    keep_ = std::make_shared<ipc::Event>();
    keep_->set();
    wake_ = wake ? std::move(wake) : std::make_shared<ipc::Event>();
}

bool WorkerProcess::launch(const std::function<int()>& body, std::vector<platform::Handle> keep) {
    started_ = std::chrono::steady_clock::now();
    std::optional<Pid> pid;
    {
        // Copying a large host's page tables takes a while; the child never touches Python.
        py::Unlocked unlocked;
        pid = platform::fork_child(body, std::move(keep));
    }
    if (pid) process_.emplace(*pid);
    return pid.has_value();
}

void WorkerProcess::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          platform::HandOver& hand_over,
                          const std::function<std::string()>& block) {
    started_ = std::chrono::steady_clock::now();
    platform::Spawned child;
    {
        py::Unlocked unlocked;
        child = platform::spawn(argv, env, hand_over);
    }
    process_ = std::move(child.process);
    input_ = std::move(child.input);
    output_ = std::move(child.output);
    std::string bytes;
    try {
        bytes = block();
    } catch (...) {
        input_.reset();  // without its arguments the worker ends at once
        throw;
    }
    // A few hundred bytes: the pipe takes them without waiting for the reader. A child that is
    // gone already shows at its end.
    py::Unlocked unlocked;
    platform::write_all(input_.get(), bytes);
}

// A spawned worker's standard input is its lifeline: it is closed only once the worker ended.
WorkerProcess::End WorkerProcess::finish(int status) {
    End end{status, true, {}};
    if (output_) {
        end.output = platform::read_to_end(output_.get());
        const size_t mark = end.output.find(kReadyMark);
        end.started = mark != std::string::npos;
        if (end.started) end.output.erase(mark, kReadyMark.size());
    }
    input_.reset();
    output_.reset();
    process_.reset();
    return end;
}

// The keep event is cleared before the wake-up, so that a waiting worker sees at once that it is
// to end. A worker that already died is reaped first: it may have died inside an operation on
// those very events.
WorkerProcess::End WorkerProcess::stop(const Reclaim& reclaim) {
    int status = 0;
    if (process_ && platform::process_ended(*process_, &status)) {
        reclaim(process_->pid);
        return finish(status);
    }
    {
        // The events' guard is shared with the worker, which may hold it right now.
        py::Unlocked unlocked;
        keep_->clear();
        wake_->set();
    }
    if (!process_) return finish(0);
    const platform::Process& child = *process_;
    {
        py::Unlocked unlocked;
        if (!platform::wait_process(child, kJoinTimeout)) {
            platform::kill_process(child);
            platform::wait_process(child, kJoinTimeout);
        }
    }
    // Holding the GIL again: a restart on another thread replaces the locks and events.
    reclaim(child.pid);
    return finish(0);
}

std::optional<WorkerProcess::End> WorkerProcess::ended_on_its_own(const Reclaim& reclaim) {
    if (!process_ || std::chrono::steady_clock::now() - started_ < std::chrono::seconds(1))
        return std::nullopt;
    int status = 0;
    if (!platform::process_ended(*process_, &status)) return std::nullopt;
    reclaim(process_->pid);
    return finish(status);
}

void WorkerProcess::recover(Pid pid) {
    for (auto* e : {&keep_, &wake_})
        if (*e) (*e)->recover(pid);
}

}  // namespace tav::streaming
