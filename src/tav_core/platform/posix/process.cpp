#include "platform/process.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>

#include "platform/process_parts.hpp"

namespace tav::platform {

namespace {

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

std::system_error failure(int err, const std::string& what) {
    return std::system_error(err, std::generic_category(), what);
}

// A pipe whose ends are closed at exec (the spawn places the child's end where it belongs).
void cloexec_pipe(int ends[2]) {
    if (::pipe(ends) != 0) throw failure(errno, "pipe");
    for (int i = 0; i < 2; ++i) ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
}

// Owns descriptors until the spawn is done.
struct Fds {
    std::vector<int> fds;
    ~Fds() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    int add(int fd) { return fds.emplace_back(fd); }
};

}  // namespace

Pid current_process() { return ::getpid(); }
void ignore_broken_pipes() { ::signal(SIGPIPE, SIG_IGN); }
void on_fork_child(void (*handler)()) { ::pthread_atfork(nullptr, nullptr, handler); }
Pid parent_process() { return ::getppid(); }

std::optional<Pid> fork_child(const std::function<int()>& body, std::vector<Handle> keep_fds) {
    pid_t pid = ::fork();
    if (pid == 0) {
        reset_signals();
        detail::close_descriptors_except(std::move(keep_fds));
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

Spawned spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              HandOver& hand_over) {
    constexpr int kFirst = 3;  // after standard input, output and error
    const std::vector<int>& pass_fds = hand_over.handles;
    if (argv.empty()) throw std::invalid_argument("spawn: no program");
    Fds own;  // closed here whatever happens; the child has its copies
    Spawned child;
    int in[2], out[2];
    cloexec_pipe(in);
    own.add(in[0]);
    child.input = OwnedHandle(in[1]);
    cloexec_pipe(out);
    own.add(out[1]);
    child.output = OwnedHandle(out[0]);
    // Read once the child has ended: what is there, not what a process it left behind may add.
    ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);
    {
        // The descriptors to pass are first copied above every number the child will use, so
        // that placing one never overwrites another that is still to be placed.
        const int first_free = kFirst + static_cast<int>(pass_fds.size());
        std::vector<int> high;
        for (int fd : pass_fds) {
            int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, first_free);
            if (copy < 0) throw failure(errno, "descriptor to hand over");
            high.push_back(own.add(copy));
        }
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attr;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attr);
        ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        for (size_t i = 0; i < high.size(); ++i)
            ::posix_spawn_file_actions_adddup2(&actions, high[i], kFirst + static_cast<int>(i));
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP;
        detail::close_rest_on_spawn(&actions, &flags, first_free);
        sigset_t all, none;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);  // cannot be changed: a spawn asked to would fail
        sigdelset(&all, SIGSTOP);
        sigemptyset(&none);
        ::posix_spawnattr_setsigdefault(&attr, &all);
        ::posix_spawnattr_setsigmask(&attr, &none);
        ::posix_spawnattr_setpgroup(&attr, 0);  // a terminal's Ctrl-C is the host's, not ours
        ::posix_spawnattr_setflags(&attr, flags);

        std::vector<char*> args, envp;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        pid_t pid = 0;
        int err = ::posix_spawn(&pid, argv[0].c_str(), &actions, &attr, args.data(), envp.data());
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attr);
        if (err != 0) throw failure(err, argv[0]);
        child.process = Process(pid);
        hand_over.child = pid;
        hand_over.values.clear();
        for (size_t i = 0; i < pass_fds.size(); ++i) hand_over.values.push_back(kFirst + i);
        return child;
    }
}

void hand_over_to(Handle, HandOver&) {
    throw std::logic_error("descriptors reach a child only at its spawn");
}

bool process_ended(const Process& child, int* status) {
    const Pid pid = child.pid;
    int st = 0;
    pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (status) *status = r == pid ? st : 0;
    return r == pid || (r < 0 && errno == ECHILD);
}

bool wait_process(const Process& child, double seconds, double interval) {
    const Pid pid = child.pid;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    detail::ExitWatch watch(pid);
    for (;;) {
        if (process_ended(pid)) return true;
        double left = std::chrono::duration<double>(deadline - clock::now()).count();
        if (left <= 0) return false;
        watch.wait(left, interval);
    }
}

void kill_process(const Process& child) {
    if (child.pid > 0) ::kill(child.pid, SIGKILL);
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

}  // namespace tav::platform
