// TavServer's read-only properties: the host's view of the server's configuration and state.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "server/bindings.hpp"
#include "server/python_calls.hpp"

namespace tav {

void bind_properties(ServerClass& cls) {
    cls.def_prop_ro(
           "is_event_loop_running", [](TavServer& s) { return s.host().is_event_loop_running(); },
           "Pull mode: whether the host should keep calling execute_pending_events.")
        .def_prop_ro(
            "platform", [](TavServer& s) { return s.identity().platform; },
            nb::sig("def platform(self) -> str"), "The host name given at construction.")
        .def_prop_ro(
            "plugin_version", [](TavServer& s) { return s.identity().plugin_version; },
            nb::sig("def plugin_version(self) -> tuple[int, int, int]"),
            "The plug-in version given at construction.")
        .def_prop_ro(
            "event_mode", [](TavServer& s) { return s.event_mode(); },
            nb::sig("def event_mode(self) -> int"), "EVENTMODE_PUSH or EVENTMODE_PULL.")
        .def_prop_ro(
            "tavbase", [](TavServer& s) { return s.host().tavbase(); },
            nb::sig("def tavbase(self) -> tavrel.tav_base.TavBase"),
            "The host object given at construction.")
        .def_prop_ro(
            "main_thread_func", [](TavServer& s) { return s.host().main_thread_func(); },
            nb::sig("def main_thread_func(self) -> collections.abc.Callable[..., object] | None"),
            "The main-thread runner given at construction, or None.")
        .def_prop_ro(
            "python_executable",
            [](TavServer& s) { return text_or_none(s.stream().launch().python); },
            nb::sig("def python_executable(self) -> str | None"),
            "The interpreter that spawned workers run: the one given, else the host's own; None\n"
            "for forked workers, which run no interpreter.")
        .def_prop_ro(
            "worker_launch",
            [](TavServer& s) {
                return std::string(streaming::launch_name(s.stream().launch().how));
            },
            nb::sig("def worker_launch(self) -> str"),
            "How worker processes start: 'fork' or 'spawn'.")
        .def_prop_ro(
            "current_camera", [](TavServer& s) { return s.cameras().current; },
            nb::sig("def current_camera(self) -> str | None"),
            "The camera the app selected (the empty text before a selection).")
        .def_prop_ro(
            "capture_mode", [](TavServer& s) { return s.stream().config().given_mode; },
            nb::sig("def capture_mode(self) -> int | None"),
            "The capture mode the host set (a CAPMODE_* value), or None.")
        .def_prop_ro(
            "capture_format", [](TavServer& s) { return s.stream().config().given_format; },
            nb::sig("def capture_format(self) -> int | None"),
            "The buffer channel order the host set (a CAPFORMAT_* value), or None.")
        .def_prop_ro(
            "capture_width", [](TavServer& s) { return s.stream().config().width; },
            nb::sig("def capture_width(self) -> int | None"),
            "The capture width the host set, or None.")
        .def_prop_ro(
            "capture_height", [](TavServer& s) { return s.stream().config().height; },
            nb::sig("def capture_height(self) -> int | None"),
            "The capture height the host set, or None.")
        .def_prop_ro(
            "use_vflip", [](TavServer& s) { return s.stream().config().vflip; },
            "Whether frames are flipped vertically before encoding.")
        .def_prop_ro(
            "is_starting", [](TavServer& s) { return s.state().is_starting.load(); },
            "Whether start_serving is binding the port.")
        .def_prop_ro(
            "is_stopping", [](TavServer& s) { return s.state().is_stopping.load(); },
            "Whether a stop is in progress (server_did_stop follows).")
        .def_prop_ro(
            "is_serving", [](TavServer& s) { return s.state().is_serving.load(); },
            "Whether the server listens for an app.")
        .def_prop_ro(
            "is_connected", [](TavServer& s) { return s.state().is_connected.load(); },
            "Whether an app is connected.")
        .def_prop_ro(
            "is_capturing", [](TavServer& s) { return s.stream().is_capturing(); },
            "Whether a stream is running.")
        .def_prop_ro(
            "server_port", [](TavServer& s) { return s.server_port(); },
            "The TCP port the server listens on, or None before start_serving.")
        .def_prop_ro(
            "client_ip", [](TavServer& s) { return s.state().client_ip; },
            "The connected app's address, or None.")
        .def_prop_ro(
            "client_port", [](TavServer& s) { return s.state().client_port; },
            "The connected app's port, or None.");
}

}  // namespace tav
