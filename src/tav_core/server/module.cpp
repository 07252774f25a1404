// The extension module tavrel.tav_core: the cross-process primitives, the protocol table, the
// server (server/bindings.hpp) and the worker entry points. No logic lives here.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <cstring>

#include "ipc/ipc.hpp"
#include "net/net.hpp"
#include "platform/shared_block.hpp"
#include "platform/system.hpp"
#include "runtime/runtime.hpp"
#include "server/server.hpp"
#include "streaming/streaming.hpp"

namespace nb = nanobind;
using namespace nb::literals;

using tav::ipc::PyEvent;
using tav::ipc::PyLock;
using tav::ipc::PyShm;

NB_MODULE(tav_core, m) {
    std::string name = nb::cast<std::string>(m.attr("__name__"));
    tav::set_package(name.rfind('.') == std::string::npos ? "" : name.substr(0, name.rfind('.')));
    // Exit handlers run last-registered first: the frame blocks go after the exit hook has
    // closed the interpreter to the server's threads, when none can make a new one.
    m.def("_unlink_owned_blocks", &tav::ipc::unlink_all_owned);
    nb::module_::import_("atexit").attr("register")(m.attr("_unlink_owned_blocks"));
    tav::py::install_exit_hook(m);
    tav::py::install_reporting();
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const tav::net::Error& e) {
            PyErr_SetObject(PyExc_OSError, nb::make_tuple(e.code, e.what()).ptr());
        }
    });

    m.attr("__version__") = TAV_VERSION;
    m.attr("_IS_WINDOWS") = tav::platform::kWindows;
    m.def("_command", &tav::command_byte, "n"_a);
    m.attr("_COMMANDS") = tav::command_table();
    m.attr("_WITH_LENGTH") = tav::kWithLength;

    nb::class_<PyLock>(m, "_Lock")
        .def("__init__", &PyLock::init, "from_share"_a = nb::none())
        .def("acquire", &PyLock::acquire, "blocking"_a = true, "timeout"_a = nb::none())
        .def("release", &PyLock::release)
        .def(
            "share", [](PyLock& l, nb::handle to) { return l.share(to); },
            "process_handle"_a = nb::none())
        .def("__enter__", [](PyLock& l) { return l.acquire(true, nb::none()); })
        .def("__exit__", [](PyLock& l, nb::args) { l.release(); });

    nb::class_<PyEvent>(m, "_Event")
        .def("__init__", &PyEvent::init, "from_share"_a = nb::none())
        .def(
            "is_set", [](PyEvent& e) { return e.event->is_set(); },
            nb::call_guard<nb::gil_scoped_release>())
        .def(
            "set", [](PyEvent& e) { e.event->set(); }, nb::call_guard<nb::gil_scoped_release>())
        .def(
            "clear", [](PyEvent& e) { e.event->clear(); }, nb::call_guard<nb::gil_scoped_release>())
        .def("wait", &PyEvent::wait, "timeout"_a = nb::none())
        .def(
            "share", [](PyEvent& e, nb::handle to) { return e.share(to); },
            "process_handle"_a = nb::none());

    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const tav::ipc::ShmError& e) {
            int err = e.code().value();
            PyErr_SetObject(PyExc_OSError, nb::make_tuple(err, std::strerror(err), e.name()).ptr());
        }
    });
    nb::class_<PyShm> shm(m, "_Shm");
    shm.def("__init__", &PyShm::init, "size"_a, "name"_a = nb::none(), "create"_a = false)
        .def("close", &PyShm::close)
        .def("unlink", [](PyShm& s) { tav::ipc::Shm::unlink(s.name); })
        .def_prop_ro("name", [](PyShm& s) { return s.name; })
        .def_prop_ro("size", [](PyShm& s) { return s.size; })
        .def_prop_ro("buf", [](PyShm& s) { return s.buf; })
        .def_prop_ro("ptr", &PyShm::ptr)
        .def("__repr__", &PyShm::repr)
        .def("__reduce__", &PyShm::reduce);
    shm.attr("_SHM_SAFE_NAME_LENGTH") = tav::ipc::Shm::kSafeNameLength;
    shm.attr("_SHM_NAME_PREFIX") = tav::ipc::Shm::kNamePrefix;
    shm.attr("_O_CREX") = tav::platform::block_create_flags();
    shm.attr("_flags") = tav::platform::block_open_flags();
    shm.attr("_mode") = tav::platform::kBlockMode;
    shm.attr("_prepend_leading_slash") = true;

    tav::bind_server(m);

    // Worker entry points: a spawned worker calls them without arguments and reads its argument
    // tuple on standard input; a caller in this process hands it over.
    m.def(
        "_ep", [](nb::handle args) { tav::streaming::run_entry("_ep", args); },
        "args"_a = nb::none());
    m.def(
        "_sp", [](nb::handle args) { tav::streaming::run_entry("_sp", args); },
        "args"_a = nb::none());

    m.attr("__all__") = nb::make_tuple("TavServer", "_ep", "_sp");
}
