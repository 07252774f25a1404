// TavServer's underscore names that tests and plug-ins reach: deliveries through the event
// dispatcher, logging, the transport and the dispatcher.
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "qr/connection_qr.hpp"
#include "runtime/python.hpp"
#include "server/bindings.hpp"
#include "server/python_calls.hpp"

namespace tav {

using namespace nb::literals;

void bind_internals(ServerClass& cls) {
    cls.def(
           "_async_callback",
           [](TavServer& s, nb::handle callback, nb::args args) {
               s.host().async_callback(callback, args);
           },
           "callback"_a, "args"_a)
        .def(
            "_callback_except_wrap",
            [](TavServer& s, nb::handle callback, nb::args args) {
                s.host().callback_except_wrap(callback, args);
            },
            "callback"_a, "args"_a)
        .def(
            "_log",
            [](TavServer&, nb::handle message) {
                py::log(nb::cast<std::string>(nb::str(message)));
            },
            "message"_a)
        .def(
            "_async_log",
            [](TavServer& s, nb::handle message) {
                s.host().async_log(nb::cast<std::string>(nb::str(message)));
            },
            "message"_a)
        .def_prop_ro("_is_event_loop_running",
                     [](TavServer& s) { return s.host().loop_running(); });

    cls.def(
           "_tcp_recv", [](TavServer& s, size_t size) { return received_payload(s.link(), size); },
           "size"_a)
        .def(
            "_tcp_send",
            [](TavServer& s, nb::bytes cmd, nb::bytes data) {
                s.link().send(std::string(cmd.c_str(), cmd.size()) +
                              std::string(data.c_str(), data.size()));
            },
            "cmd"_a, "data"_a = nb::bytes("", 0))
        .def(
            "_tcp_send_with_len",
            [](TavServer& s, nb::bytes cmd, nb::bytes data) {
                s.link().send_with_length(std::string_view(cmd.c_str(), cmd.size()),
                                          std::string_view(data.c_str(), data.size()));
            },
            "cmd"_a, "data"_a)
        .def(
            "_proccess_command",
            [](TavServer& s, nb::bytes cmd) {
                const uint8_t code = command_code(cmd);
                nb::gil_scoped_release unlocked;
                s.session().process_code(code);
            },
            "cmd"_a);
    // Static as well: a host lists the addresses it may listen on before it serves.
    cls.def_static("_get_net_addresses", [] { return qr::net_address_list(); });
}

}  // namespace tav
