// TavServer's capture operations, and the underscore names of the stream and its workers.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "host/host_values.hpp"
#include "platform/process.hpp"
#include "server/bindings.hpp"
#include "server/python_calls.hpp"
#include "streaming/worker_environment.hpp"

namespace tav {

using namespace nb::literals;

void bind_streaming(ServerClass& cls) {
    cls.def(
           "set_capture_mode",
           [](TavServer& s, nb::object mode, nb::object format) {
               s.stream().set_capture_mode(mode, format);
           },
           "capture_mode"_a.none(), "capture_format"_a.none() = nb::none(),
           nb::sig("def set_capture_mode(self, capture_mode: int, capture_format: int | None = "
                   "None) -> None"),
           "From capture_will_start: a CAPMODE_* value and, for the buffer modes, a\n"
           "CAPFORMAT_* channel order.")
        .def(
            "set_capture_resolution",
            [](TavServer& s, nb::object width, nb::object height) {
                s.stream().set_capture_resolution(width, height);
            },
            "width"_a.none(), "height"_a.none(),
            nb::sig("def set_capture_resolution(self, width: int, height: int) -> None"),
            "The size of the captured frames; during a stream a new size restarts the encoder.")
        .def(
            "set_vertical_flip",
            [](TavServer& s, nb::handle flip) {
                s.stream().set_vertical_flip(host_values::truthy(flip));
            },
            "use_vflip"_a.none(), nb::sig("def set_vertical_flip(self, use_vflip: bool) -> None"),
            "Flip the frames vertically before encoding (for hosts whose rows run bottom first).")
        .def(
            "_clamp_resolution",
            [](TavServer&, nb::object width, nb::object height) {
                return streaming::clamp_resolution(width, height);
            },
            "width"_a, "height"_a)
        .def("_stop_streaming", [](TavServer& s) { s.stream().stop(); })
        .def(
            "_encode_frame",
            [](TavServer& s, uint64_t address) { s.stream().encode_frame(address); }, "address"_a)
        .def("_capture_screenshot", [](TavServer& s) { s.stream().capture_screenshot(); })
        .def(
            "_start_autosend", [](TavServer& s, double fps) { s.stream().start_autosend(fps); },
            "fps"_a)
        .def("_stop_autosend", [](TavServer& s) { s.stream().stop_autosend(); })
        .def(
            "_start_encoding",
            [](TavServer& s, nb::handle width, nb::handle height, nb::handle input_format,
               nb::handle framerate, nb::handle bitrate, nb::handle vflip) {
                start_encoding(s.stream(), width, height, input_format, framerate, bitrate, vflip);
            },
            "width"_a, "height"_a, "input_format"_a.none(), "framerate"_a, "bitrate"_a, "vflip"_a)
        .def(
            "_start_screenshot",
            [](TavServer& s, nb::object x, nb::object y, nb::object width, nb::object height) {
                s.stream().start_screenshot(x, y, width, height);
            },
            "x"_a, "y"_a, "width"_a, "height"_a)
        .def("_stop_encoding", [](TavServer& s) { s.stream().stop_encoding(); })
        .def("_stop_screenshot", [](TavServer& s) { s.stream().stop_screenshot(); })
        .def(
            "_wait_forked_process",
            [](TavServer&, platform::Pid pid, double time_limit, double interval) {
                return platform::wait_process(pid, time_limit, interval);
            },
            "pid"_a, "time_limit"_a, "interval"_a = 0.05, nb::call_guard<nb::gil_scoped_release>())
        .def(
            "_kill_forked_process",
            [](TavServer&, platform::Pid pid) { platform::kill_process(pid); }, "pid"_a)
        .def("_get_environment", [](TavServer&) { return streaming::worker_environment(); })
        .def("_guess_python_executable",
             [](TavServer&) { return streaming::guess_python_executable(); })
        .def_prop_ro("_encoding_process", [](TavServer& s) { return s.stream().encoder_pid(); })
        .def_prop_ro("_screenshot_process",
                     [](TavServer& s) { return s.stream().screenshot_pid(); })
        .def_prop_ro("_is_encoding", [](TavServer& s) { return s.stream().is_encoding(); })
        .def_prop_ro("_is_screenshooting",
                     [](TavServer& s) { return s.stream().is_screenshooting(); })
        .def_prop_ro("_is_autosend", [](TavServer& s) { return s.stream().is_autosend(); })
        .def_prop_ro(
            "_pixel_format",
            [](TavServer& s) { return text_or_none(s.stream().config().pixel_format_name()); })
        .def_prop_ro("_buff_size", [](TavServer& s) { return s.stream().frame_size(); })
        .def_prop_ro("_scrsht_pos", [](TavServer& s) { return s.stream().screenshot_position(); });
}

}  // namespace tav
