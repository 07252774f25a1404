#include "streaming/process.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace tav::streaming {

namespace {

// Closes every descriptor above 2 that is not in `keep` (sorted): above all the listening socket,
// so that a worker never keeps the server's port bound.
void close_inherited(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned int from = 3;
    for (int fd : keep) {
        if (fd < static_cast<int>(from)) continue;
        if (static_cast<unsigned int>(fd) > from) syscall(SYS_close_range, from, fd - 1, 0);
        from = static_cast<unsigned int>(fd) + 1;
    }
    syscall(SYS_close_range, from, ~0U, 0);
}

// The child starts with the host's signal handlers, which belong to the host's interpreter: a
// Ctrl-C in the terminal reaches the worker too, and the interpreter's handler would write to a
// descriptor number that may now be the app connection. The worker takes the defaults instead,
// ignores the terminal's interrupt (the host stops it, or it notices the host is gone) and broken
// pipes (its sends report them).
void reset_signals() {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

std::optional<pid_t> fork_worker(const std::function<int()>& body, std::vector<int> keep_fds) {
    pid_t pid = ::fork();
    if (pid == 0) {
        reset_signals();
        close_inherited(std::move(keep_fds));
        int status = 1;
        try {
            status = body();
        } catch (std::exception& e) {
            std::fprintf(stderr, "Tavrel worker: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "Tavrel worker: unknown failure\n");
        }
        std::fflush(stderr);
        ::_exit(status);
    }
    if (pid < 0) return std::nullopt;
    return pid;
}

bool process_ended(pid_t pid, int* status) {
    int st = 0;
    pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (status) *status = r == pid ? st : 0;
    return r == pid || (r < 0 && errno == ECHILD);
}

bool wait_process(pid_t pid, double seconds, double interval) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        if (process_ended(pid)) {
            if (pidfd >= 0) ::close(pidfd);
            return true;
        }
        double left = std::chrono::duration<double>(deadline - clock::now()).count();
        if (left <= 0) {
            if (pidfd >= 0) ::close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(interval, left)));
        }
    }
}

void kill_process(pid_t pid) {
    if (pid > 0) ::kill(pid, SIGKILL);
}

}  // namespace tav::streaming
