// How native threads use the host's interpreter without ever freezing or crashing it.
//
// Every native thread that touches Python goes through a gate. At interpreter exit the gate
// closes: threads that want Python afterwards get InterpreterExit and wind down without it, so no
// thread ever tries to take the GIL of a finalizing interpreter.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <string_view>

namespace tav::py {

namespace nb = nanobind;

// Thrown on a native thread that wanted the interpreter after it began to exit. The thread's top
// catches it and ends quietly.
struct InterpreterExit {};

// Registers the interpreter-exit hook (module initialisation).
void install_exit_hook(nb::module_& m);

// True once the interpreter began to exit.
bool exiting();

// Takes the GIL on a thread that does not hold it; throws InterpreterExit once the gate closed.
class Gil {
  public:
    Gil();
    ~Gil();
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

  private:
    PyGILState_STATE state_;
};

// Releases the GIL the calling thread holds, for a blocking call. If the interpreter is finalizing
// when the call returns, a non-main thread parks for good instead of taking the GIL back.
class Unlocked {
  public:
    Unlocked();
    ~Unlocked();
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

  private:
    PyThreadState* state_;
};

// Keeps one Python thread state for the life of a native thread, so each Gil scope is cheap.
class ThreadState {
  public:
    ThreadState();
    ~ThreadState();
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

  private:
    PyThreadState* saved_ = nullptr;
    PyGILState_STATE state_{};
};

// Drops a reference from any thread: under the GIL while the interpreter lives, leaked after.
void drop(nb::object&& object);

// Reports the error being handled (call inside a catch block, holding the GIL) through
// threading.excepthook, as the interpreter reports an error that ends a Python thread: the default
// hook prints "Exception in thread NAME:" and the traceback on sys.stderr, and a hook the host or
// a test runner installed sees it instead. A native error goes as the Python error the binding
// layer makes of it. InterpreterExit is no error and is not reported.
void report_current_exception(std::string_view thread_name);
// The same on a thread that does not hold the GIL. Once the interpreter began to exit no Python
// may run: then, and only then, the report is written straight to the process's stderr.
void report_current_exception_unlocked(std::string_view thread_name);

// Prepares the reports (module initialisation).
void install_reporting();

// Prints one log line, "Tavrel: " + text, through the interpreter's print (holding the GIL).
void log(std::string_view text);

// The name of the object's type as the interpreter's own messages give it (holding the GIL).
std::string type_name(nb::handle object);
// Raises TypeError "Expected <expected>, got <the type of got>" (holding the GIL).
[[noreturn]] void raise_expected(const char* expected, nb::handle got);

}  // namespace tav::py

namespace tav::py {

// A shared owned reference that native threads may copy and drop without the GIL (see drop).
class Ref {
  public:
    Ref() = default;
    explicit Ref(nb::object object)
        : holder_(new nb::object(std::move(object)), [](nb::object* o) {
              drop(std::move(*o));
              delete o;
          }) {}
    nb::handle get() const { return holder_ ? holder_->ptr() : nb::handle(); }

  private:
    std::shared_ptr<nb::object> holder_;
};

// Marks the calling thread as running in host context for the scope: deliveries requested from
// inside it run at once instead of waiting for the dispatcher they already hold.
class HostContext {
  public:
    HostContext();
    ~HostContext();
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;
    static bool active();
};

}  // namespace tav::py
