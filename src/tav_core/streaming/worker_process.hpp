// A forked worker process as the server owns it: its pid and start time, the event that keeps it
// running and the event that wakes it. Stopping one clears its keep event and wakes it, waits for
// it (without the GIL), kills it after kJoinTimeout and always reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/daemon_thread.hpp"
#include "ipc/event.hpp"

namespace tav::streaming {

class WorkerProcess {
  public:
    // Called with the pid of a worker that ended, before anything else may take a lock it held:
    // a semaphore has no owner, so one held by a dead worker stays taken unless taken back.
    using Reclaim = std::function<void(pid_t)>;

    WorkerProcess() = default;
    // A worker still running when its owner goes (a server dropped with a worker it never
    // stopped) is killed and reaped.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // New events for the next worker: its keep event (set) and, unless `wake` is given, a wake
    // event of its own.
    void prepare(std::shared_ptr<ipc::Event> wake = nullptr);
    // Forks the worker running `body` (which never touches Python), keeping `keep_fds` open. The
    // caller holds the GIL; the fork runs without it. False when the fork failed.
    bool launch(const std::function<int()>& body, std::vector<int> keep_fds = {});
    // Asks the worker to end and waits for it (see above).
    void stop(const Reclaim& reclaim);
    // True when a worker that ran for at least a second has ended on its own; it is reaped, its
    // wait status stored in `status`.
    bool ended_on_its_own(int* status, const Reclaim& reclaim);

    std::optional<pid_t> pid() const { return pid_; }
    const std::shared_ptr<ipc::Event>& keep() const { return keep_; }
    const std::shared_ptr<ipc::Event>& wake() const { return wake_; }
    // Frees the events' guards that the dead worker `pid` held.
    void recover(pid_t pid);

  private:
    std::optional<pid_t> pid_;
    std::chrono::steady_clock::time_point started_;
    std::shared_ptr<ipc::Event> keep_, wake_;
};

}  // namespace tav::streaming
