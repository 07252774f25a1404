// How the server starts its workers, and what both sides of a spawned worker's start agree on.
//
// Both launches start a worker from its WorkerRecord (worker_record.hpp). A forked worker runs the
// worker's C++ code in a copy of the host process. A spawned worker is a
// new interpreter (the host's python_executable) that imports this module and calls `_ep()` or
// `_sp()` without arguments; those read the argument block on standard input: the length of the
// serialized argument tuple (uint32 little-endian), then the tuple, pickled. The shared objects
// reach it as handles it is handed by the spawn (POSIX: descriptors placed there; Windows:
// duplicated into it), whose values the tuple carries.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/process.hpp"
#include "streaming/worker_record.hpp"

namespace tav::streaming {

namespace nb = nanobind;

enum class WorkerLaunch { fork, spawn };

struct LaunchSettings {
    WorkerLaunch how = WorkerLaunch::fork;
    std::string python;  // the interpreter of spawned workers
};

// "fork" or "spawn".
std::string_view launch_name(WorkerLaunch how);
// Fork where the system lets a host's child run the worker (platform::kForkWorkers), else spawn.
WorkerLaunch default_launch();

// Written by a spawned worker on its output once it has read its arguments: one that ends without
// it could not start (a wrong interpreter, or one that cannot import this module).
inline constexpr std::string_view kReadyMark = "\x06tavrel-worker-ready\x06";

// ---- the server's side, holding the GIL ---------------------------------------------------
// The argument block of a worker record, for a worker that `to` handed its handles.
std::string argument_block(const WorkerRecord& record, const platform::HandOver& to);
// The command line that runs the worker entry `entry` ("_ep" or "_sp") in `python`.
std::vector<std::string> worker_command(const std::string& python, const char* entry);
// The environment of a spawned worker: the host's, with PYTHONPATH from its sys.path.
std::vector<std::string> worker_environment_entries();

// ---- the worker's side: the entries `_ep(args)` and `_sp(args)` -------------------------------
// Runs the worker of `entry` ("_ep" or "_sp") from its argument tuple: `args` when it is given (a
// caller in this process), else the argument block on standard input (a spawned worker, which
// then ends the interpreter with the worker's exit status: SystemExit when it is not 0). The tuple
// is decoded holding the GIL, the worker runs without it. ValueError for a tuple that is missing,
// cut short or not valid.
void run_entry(const char* entry, nb::handle args);

}  // namespace tav::streaming
