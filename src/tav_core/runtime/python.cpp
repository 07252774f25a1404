#include "runtime/python.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/loaded_symbol.hpp"

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

#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030D0000
// The stable ABI has no finalization query before 3.13, and one build serves every newer
// interpreter: take whichever of the two spellings the running interpreter exports.
using IsFinalizing = int (*)();
IsFinalizing lookup_is_finalizing() {
    for (const char* name : {"Py_IsFinalizing", "_Py_IsFinalizing"})
        if (void* f = platform::loaded_symbol(name)) return reinterpret_cast<IsFinalizing>(f);
    return nullptr;
}

bool finalizing() {
    static const IsFinalizing is_finalizing = lookup_is_finalizing();
    return is_finalizing && is_finalizing();
}
#else
bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}
#endif

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

namespace {

// A thread state made for a native thread gets its dictionary at once, while it holds the GIL.
// Some hosts (Blender, on Python 3.11 and older) ask for the dictionary of whichever thread holds
// the GIL from a thread that does not hold it: made then, it is made on two threads at once,
// which corrupts the interpreter's memory and crashes the host later.
PyGILState_STATE ensure_thread_state() {
    PyGILState_STATE state = PyGILState_Ensure();
    PyThreadState_GetDict();
    return state;
}

}  // namespace

Gil::Gil() {
    if (!enter()) throw InterpreterExit{};
    state_ = ensure_thread_state();
}

Gil::~Gil() {
    PyGILState_Release(state_);
    leave();
}

Unlocked::Unlocked() : state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() {
    if (finalizing() && PyThread_get_thread_ident() != main_thread_ident) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    PyEval_RestoreThread(state_);
}

ThreadState::ThreadState() {
    if (!enter()) return;
    state_ = ensure_thread_state();
    saved_ = PyEval_SaveThread();
    leave();
}

ThreadState::~ThreadState() {
    if (saved_ == nullptr || !enter()) return;
    PyEval_RestoreThread(saved_);
    PyGILState_Release(state_);
    leave();
}

namespace {

#ifdef Py_LIMITED_API
// PyGILState_Check is part of every CPython 3 but not of the stable ABI (python3.dll on Windows
// does not export it): taken from the running interpreter. Without it, the caller takes the GIL
// through PyGILState_Ensure, which also serves a thread that holds it.
bool holds_gil() {
    using Check = int (*)();
    static const auto check = reinterpret_cast<Check>(platform::loaded_symbol("PyGILState_Check"));
    return check && check();
}
#else
bool holds_gil() { return PyGILState_Check(); }
#endif

}  // namespace

void drop(nb::object&& object) {
    PyObject* p = object.release().ptr();
    if (p == nullptr) return;
    // The gate first: late in finalization PyGILState_Check answers true on every thread.
    if (!enter()) return;
    if (holds_gil()) {
        Py_DECREF(p);
    } else {
        PyGILState_STATE s = ensure_thread_state();
        Py_DECREF(p);
        PyGILState_Release(s);
    }
    leave();
}

namespace {

// A bound function that throws the native error it is given, so that the binding layer turns it
// into the Python error a host would see from a bound call (OSError for a socket failure, ...).
// Never destroyed: threads may report while the process runs its exit handlers.
thread_local std::exception_ptr native_error;
nb::object* native_error_raiser = nullptr;

nb::python_error as_python_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error& e) {
        return e;
    } catch (...) {
    }
    native_error = error;
    try {
        (*native_error_raiser)();
    } catch (nb::python_error& e) {
        native_error = nullptr;
        return e;
    }
    PyErr_SetString(PyExc_SystemError, "a native error raised nothing");
    return nb::python_error();
}

// What threading.excepthook gets as the thread: the native thread has no threading.Thread, so an
// object with the attributes hooks read from one.
nb::object thread_record(std::string_view name) {
    return nb::module_::import_("types").attr("SimpleNamespace")(
        nb::arg("name") = nb::str(name.data(), name.size()),
        nb::arg("ident") = PyThread_get_thread_ident(), nb::arg("daemon") = true);
}

void report(const std::exception_ptr& error, std::string_view thread_name) {
    try {
        std::rethrow_exception(error);
    } catch (InterpreterExit&) {
        return;  // not an error: the thread winds down
    } catch (...) {
    }
    nb::python_error e = as_python_error(error);
    try {
        nb::module_ threading = nb::module_::import_("threading");
        nb::object traceback = e.traceback();
        nb::object args = threading.attr("ExceptHookArgs")(
            nb::make_tuple(e.type(), e.value(), traceback.is_valid() ? traceback : nb::none(),
                           thread_record(thread_name)));
        threading.attr("excepthook")(args);
    } catch (nb::python_error& failed) {
        // A hook that fails is itself reported, as the threading module does for its threads.
        failed.discard_as_unraisable("threading.excepthook");
    }
}

}  // namespace

void install_reporting() {
    native_error_raiser = new nb::object(
        nb::cpp_function([] { std::rethrow_exception(std::exchange(native_error, nullptr)); }));
}

void report_current_exception(std::string_view thread_name) {
    report(std::current_exception(), thread_name);
}

void report_current_exception_unlocked(std::string_view thread_name) {
    std::exception_ptr error = std::current_exception();
    try {
        Gil gil;
        report(error, thread_name);
        return;
    } catch (InterpreterExit&) {
    }
    // The last resort, for an error met once the interpreter began to exit: no Python may run any
    // more, so the report goes straight to the process's stderr.
    std::string text;
    try {
        std::rethrow_exception(error);
    } catch (InterpreterExit&) {
        return;
    } catch (nb::python_error&) {
        text = "a Python error (not shown: the interpreter is exiting)";
    } catch (std::exception& e) {
        text = e.what();
    } catch (...) {
        text = "unknown error";
    }
    std::string line = "Exception in thread " + std::string(thread_name) + ":\n" + text + "\n";
    std::fputs(line.c_str(), stderr);
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
    // One write for the whole line: print() writes the text and the end of line separately, and
    // a host thread printing meanwhile would land between them.
    line += '\n';
    print(nb::str(line.data(), line.size()), nb::arg("file") = out, nb::arg("end") = "");
}

std::string type_name(nb::handle object) {
#ifdef Py_LIMITED_API
    // No tp_name in the stable ABI: rebuild it (module-qualified for static non-builtin types).
    nb::handle type = object.type();
    std::string name = nb::cast<std::string>(nb::str(type.attr("__name__")));
    if (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type.ptr())) & Py_TPFLAGS_HEAPTYPE)
        return name;
    std::string module = nb::cast<std::string>(nb::str(type.attr("__module__")));
    return module == "builtins" ? name : module + "." + name;
#else
    return Py_TYPE(object.ptr())->tp_name;
#endif
}

void raise_expected(const char* expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", expected,
                 py::type_name(got).c_str());
    throw nb::python_error();
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
