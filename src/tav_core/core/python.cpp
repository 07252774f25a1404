#include "core/python.hpp"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

namespace tav::py {

namespace {

// Never destroyed: detached threads may still use it while the process runs its exit handlers.
struct Gate {
    std::mutex mutex;
    std::condition_variable idle;
    int active = 0;
    bool closed = false;
};

Gate& gate() {
    static Gate* g = new Gate;
    return *g;
}

bool enter() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    if (g.closed) return false;
    ++g.active;
    return true;
}

void leave() {
    Gate& g = gate();
    {
        std::lock_guard lock(g.mutex);
        --g.active;
    }
    g.idle.notify_all();
}

unsigned long main_thread_ident = 0;

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Runs from the interpreter's atexit handlers, before finalization: close the gate, then let the
// threads that are inside Python finish (bounded, so a wedged host call cannot hang the exit).
void on_interpreter_exit() {
    Gate& g = gate();
    {
        std::lock_guard lock(g.mutex);
        g.closed = true;
    }
    {
        Unlocked unlocked;
        std::unique_lock lock(g.mutex);
        g.idle.wait_for(lock, std::chrono::seconds(2), [&] { return g.active == 0; });
    }
    // Serving threads keep their server alive on purpose; that is not a leak worth a warning.
    nb::set_leak_warnings(false);
}

}  // namespace

void install_exit_hook(nb::module_& m) {
    main_thread_ident = nb::cast<unsigned long>(
        nb::module_::import_("threading").attr("main_thread")().attr("ident"));
    m.def("_on_interpreter_exit", &on_interpreter_exit);
    nb::module_::import_("atexit").attr("register")(m.attr("_on_interpreter_exit"));
}

bool exiting() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    return g.closed;
}

Gil::Gil() {
    if (!enter()) throw InterpreterExit{};
    state_ = PyGILState_Ensure();
}

Gil::~Gil() {
    PyGILState_Release(state_);
    leave();
}

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() {
    if (finalizing() && PyThread_get_thread_ident() != main_thread_ident) {
        for (;;) pause();
    }
    PyEval_RestoreThread(state_);
}

ThreadState::ThreadState() {
    if (!enter()) return;
    state_ = PyGILState_Ensure();
    saved_ = PyEval_SaveThread();
    leave();
}

ThreadState::~ThreadState() {
    if (saved_ == nullptr || !enter()) return;
    PyEval_RestoreThread(saved_);
    PyGILState_Release(state_);
    leave();
}

void drop(nb::object&& object) {
    PyObject* p = object.release().ptr();
    if (p == nullptr) return;
    // The gate first: late in finalization PyGILState_Check answers true on every thread.
    if (!enter()) return;
    if (PyGILState_Check()) {
        Py_DECREF(p);
    } else {
        PyGILState_STATE s = PyGILState_Ensure();
        Py_DECREF(p);
        PyGILState_Release(s);
    }
    leave();
}

void report_current_exception(std::string_view thread_name) {
    std::string header = "Exception in thread " + std::string(thread_name) + ":\n";
    try {
        throw;
    } catch (nb::python_error& e) {
        try {
            nb::object sys = nb::module_::import_("sys");
            nb::object err = sys.attr("stderr");
            err.attr("write")(header);
            // An error raised by C code has no traceback yet.
            nb::handle tb = e.traceback().is_valid() ? e.traceback() : nb::none();
            nb::module_::import_("traceback")
                .attr("print_exception")(e.type(), e.value(), tb, nb::arg("file") = err);
            return;
        } catch (...) {
            PyErr_Clear();
        }
        std::fprintf(stderr, "%s%s\n", header.c_str(), e.what());
    } catch (std::exception& e) {
        std::string text = header + e.what() + "\n";
        try {
            nb::module_::import_("sys").attr("stderr").attr("write")(text);
        } catch (...) {
            PyErr_Clear();
            std::fputs(text.c_str(), stderr);
        }
    } catch (...) {
        std::fprintf(stderr, "%sunknown error\n", header.c_str());
    }
}

void log(std::string_view text) {
    std::string line = "Tavrel: ";
    line += text;
    nb::handle print(PyDict_GetItemString(PyEval_GetBuiltins(), "print"));
    // print() borrows sys.stdout while it writes; a console that another thread swaps meanwhile
    // would be freed under it. Holding our own reference keeps it alive for the whole line.
    nb::handle current(PySys_GetObject("stdout"));
    if (!current.is_valid() || current.is_none()) return;  // print() writes nothing then either
    nb::object out = nb::borrow(current);
    // The line and its end in one write, so that a host thread's output cannot split them.
    line += '\n';
    print(nb::str(line.data(), line.size()), nb::arg("file") = out, nb::arg("end") = "");
}

}  // namespace tav::py

namespace tav::py {

namespace {
thread_local int host_context_depth = 0;
}

HostContext::HostContext() { ++host_context_depth; }
HostContext::~HostContext() { --host_context_depth; }
bool HostContext::active() { return host_context_depth > 0; }

}  // namespace tav::py
