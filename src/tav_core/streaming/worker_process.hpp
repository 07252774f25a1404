// A worker process as the server owns it: the process and its start time, the event that keeps it
// running and the event that wakes it, and for a spawned worker the pipes of its standard input
// and output (each handle closed by its owner when it goes). Stopping one clears its keep event and
// wakes it, waits for it (without the GIL), kills it after kJoinTimeout and always reaps it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ipc/event.hpp"
#include "platform/process.hpp"
#include "runtime/daemon_thread.hpp"

namespace tav::streaming {

using platform::Pid;

class WorkerProcess {
  public:
    // Called with the pid of a worker that ended, before anything else may take a lock it held:
    // a semaphore has no owner, so one held by a dead worker stays taken unless taken back.
    using Reclaim = std::function<void(Pid)>;

    // How a worker ended, as its owner learns it.
    struct End {
        int status = 0;       // its wait status (0 when unknown)
        bool started = true;  // false: a spawned worker that never took its arguments
        std::string output;   // a spawned worker's standard output and error
    };

    WorkerProcess() = default;
    // A worker still running when its owner goes (a server dropped with a worker it never
    // stopped) is killed and reaped.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // New events for the next worker: its keep event (set) and, unless `wake` is given, a wake
    // event of its own.
    void prepare(std::shared_ptr<ipc::Event> wake = nullptr);
    // Forks the worker running `body` (which never touches Python), keeping `keep` open. The
    // caller holds the GIL; the fork runs without it. False when the fork failed.
    bool launch(const std::function<int()>& body, std::vector<platform::Handle> keep = {});
    // Spawns `argv` with `env`, handing it `hand_over` (the spawn fills in its values), and writes
    // on its standard input the argument block that `block` then makes. The caller holds the GIL;
    // the spawn and the write run without it. Throws std::system_error when the program cannot be
    // started.
    void spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               platform::HandOver& hand_over, const std::function<std::string()>& block);
    // Asks the worker to end and waits for it (see above). Returns how it ended.
    End stop(const Reclaim& reclaim);
    // A worker that ran for at least a second and has ended on its own: it is reaped and its
    // end returned.
    std::optional<End> ended_on_its_own(const Reclaim& reclaim);

    std::optional<Pid> pid() const {
        return process_ ? std::optional<Pid>(process_->pid) : std::nullopt;
    }
    const std::shared_ptr<ipc::Event>& keep() const { return keep_; }
    const std::shared_ptr<ipc::Event>& wake() const { return wake_; }
    // Frees the events' guards that the dead worker `pid` held.
    void recover(Pid pid);

  private:
    End finish(int status);  // the worker ended and was reaped: collects its output
    std::optional<platform::Process> process_;
    std::chrono::steady_clock::time_point started_;
    std::shared_ptr<ipc::Event> keep_, wake_;
    platform::OwnedHandle input_, output_;  // a spawned worker's standard input and output
};

}  // namespace tav::streaming
