// The Python API of TavServer: its constructor, constants, properties and operations, and the
// underscore names that tests and plug-ins reach. No logic lives here.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include "net/net.hpp"
#include "platform/process.hpp"
#include "qr/connection_qr.hpp"
#include "runtime/python.hpp"
#include "runtime/version.hpp"
#include "server/tav_server.hpp"
#include "streaming/worker_environment.hpp"
#include "streaming/worker_launch.hpp"

namespace tav {

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using CaptureMode = streaming::CaptureMode;
using CaptureFormat = streaming::CaptureFormat;
using EventMode = HostBridge::Mode;

bool truthy(nb::handle value) { return host_values::truthy(value); }

// How the workers start, from the constructor's arguments: a given interpreter must be text (not
// a subtype of it); without one a spawning server finds the host's own.
streaming::LaunchSettings launch_settings(nb::handle python_executable, nb::handle worker_launch) {
    streaming::LaunchSettings launch;
    launch.how = streaming::default_launch();
    if (!worker_launch.is_none()) {
        const bool text = PyUnicode_CheckExact(worker_launch.ptr());
        const std::string name = text ? nb::cast<std::string>(worker_launch) : std::string();
        if (name == "spawn")
            launch.how = streaming::WorkerLaunch::spawn;
        else if (name == "fork")
            launch.how = streaming::WorkerLaunch::fork;
        else
            throw nb::value_error("worker_launch must be 'fork' or 'spawn'");
    }
    if (!python_executable.is_none() && nb::bool_(python_executable)) {
        if (!PyUnicode_CheckExact(python_executable.ptr()))
            py::raise_expected("str", python_executable);
        launch.python = nb::cast<std::string>(python_executable);
    } else if (launch.how == streaming::WorkerLaunch::spawn) {
        launch.python = nb::cast<std::string>(streaming::guess_python_executable());
    }
    return launch;
}

}  // namespace

void bind_server(nb::module_& m) {
    nb::class_<TavServer> cls(m, "TavServer", nb::dynamic_attr(), R"doc(
The server a host plug-in creates: it listens on TCP, serves one app at a time, calls the host's
TavBase and streams the host's viewport as VP9 video.

Constants:
    SERVER_VERSION: the server's version (major, minor, patch), the package's version.
    EVENTMODE_PUSH: host operations run on the server's threads (or through main_thread_func).
    EVENTMODE_PULL: host operations wait in a queue that execute_pending_events drains.
    CAPMODE_SCREENSHOT: frames are grabbed from the X display at get_capture_coords.
    CAPMODE_BUFFER: frames come from get_capture_buffer as bytes-like objects.
    CAPMODE_BUFFER_POINTER: frames come from get_capture_pointer as addresses.
    CAPFORMAT_UBYTE_RGB, CAPFORMAT_UBYTE_BGR, CAPFORMAT_UBYTE_RGBA, CAPFORMAT_UBYTE_BGRA: the
        channel order of buffer frames, 8 bits per channel.)doc");
    cls.def(
        "__init__",
        [](TavServer* t, nb::object platform, nb::object plugin_version, nb::object tavbase,
           nb::object event_mode, nb::object main_thread_func, nb::object python_executable,
           nb::object worker_launch) {
            streaming::LaunchSettings launch = launch_settings(python_executable, worker_launch);
            new (t) TavServer(platform, plugin_version, tavbase, event_mode, main_thread_func);
            t->stream().set_launch(std::move(launch));
            nb::object self = nb::find(t);
            for (const Command& c : kCommands)
                nb::setattr(self, ("_CMD_" + std::string(c.name)).c_str(), command_byte(c.code));
        },
        // None reaches the constructor's own checks, which refuse it with their value errors.
        "platform"_a.none(), "plugin_version"_a.none(), "tavbase"_a.none(), "event_mode"_a.none(),
        "main_thread_func"_a = nb::none(), "python_executable"_a = nb::none(), nb::kw_only(),
        "worker_launch"_a = nb::none(),
        nb::sig("def __init__(self, platform: str, plugin_version: tuple[int, int, int], "
                "tavbase: tavrel.tav_base.TavBase, event_mode: int, "
                "main_thread_func: collections.abc.Callable[..., object] | None = None, "
                "python_executable: str | None = None, *, "
                "worker_launch: str | None = None) -> None"),
        "A server for the host named ``platform`` (shown to the app) whose plug-in has version\n"
        "``plugin_version``. ``tavbase`` is the host's TavBase; ``event_mode`` EVENTMODE_PUSH or\n"
        "EVENTMODE_PULL. In push mode ``main_thread_func(wrapper, callback, *args)``, if\n"
        "given, runs ``wrapper(callback, *args)`` in the host's main thread.\n"
        "``worker_launch`` is how worker processes start: 'fork' (the default on Linux) or\n"
        "'spawn' (elsewhere), a new ``python_executable`` process (by default the host's own\n"
        "interpreter, found by _guess_python_executable). Raises ValueError for a bad\n"
        "``plugin_version``, ``event_mode`` or ``worker_launch``, TypeError for a\n"
        "``python_executable`` that is not text.");

    cls.attr("SERVER_VERSION") = nb::make_tuple(kVersion[0], kVersion[1], kVersion[2]);
    cls.attr("CAPMODE_SCREENSHOT") = static_cast<int>(CaptureMode::screenshot);
    cls.attr("CAPMODE_BUFFER") = static_cast<int>(CaptureMode::buffer);
    cls.attr("CAPMODE_BUFFER_POINTER") = static_cast<int>(CaptureMode::buffer_pointer);
    cls.attr("CAPFORMAT_UBYTE_RGB") = static_cast<int>(CaptureFormat::rgb);
    cls.attr("CAPFORMAT_UBYTE_BGR") = static_cast<int>(CaptureFormat::bgr);
    cls.attr("CAPFORMAT_UBYTE_RGBA") = static_cast<int>(CaptureFormat::rgba);
    cls.attr("CAPFORMAT_UBYTE_BGRA") = static_cast<int>(CaptureFormat::bgra);
    cls.attr("EVENTMODE_PUSH") = static_cast<int>(EventMode::push);
    cls.attr("EVENTMODE_PULL") = static_cast<int>(EventMode::pull);
    cls.attr("_QUEUE_MAX_SIZE") = HostBridge::QUEUE_MAX_SIZE;
    cls.attr("_ENC_MAX_RESOLUTION") =
        nb::make_tuple(streaming::kMaxEncodedSide, streaming::kMaxEncodedSide);
    cls.attr("_JOIN_TIMEOUT") = static_cast<int>(kJoinTimeout);

    // Read-only properties.
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
            [](TavServer& s) -> nb::object {
                const std::string& python = s.stream().launch().python;
                if (python.empty()) return nb::none();
                return nb::str(python.c_str());
            },
            nb::sig("def python_executable(self) -> str | None"),
            "The interpreter that spawned workers run: the one given, else in spawn mode the\n"
            "host's own; None for forked workers when none was given.")
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

    // Lifecycle and dispatch.
    cls.def("start_serving", &TavServer::start_serving, "port"_a, "address"_a = nb::none(),
            nb::sig("def start_serving(self, port: int, address: str | None = None) -> bool"),
            "Listen on ``port`` (0: any free port; see server_port) and serve apps. Returns\n"
            "whether serving started; False when the port could not be bound. ``address``, an\n"
            "IPv4 address of one of this machine's interfaces, listens there only (apps reach\n"
            "no other interface, and the QR code carries that address alone); None listens on\n"
            "every interface. Raises ValueError naming an address this machine does not have.")
        .def("stop_serving", &TavServer::stop_serving,
             "Stop serving: returns at once; the host's server_did_stop follows.")
        .def("update_script_labels", &TavServer::update_script_labels,
             "Send the host's current script labels to the connected app.")
        .def(
            "execute_pending_events", [](TavServer& s) { s.host().execute_pending_events(); },
            "Pull mode: run the queued host operations in the calling thread. Raises what a\n"
            "host operation raised.")
        .def(
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

    // Transport and dispatcher.
    cls.def(
           "_tcp_recv",
           [](TavServer& s, size_t size) -> nb::object {
               std::optional<std::string> data;
               {
                   nb::gil_scoped_release unlocked;
                   data = s.link().recv_payload(size);
               }
               if (!data) return nb::none();
               return nb::bytes(data->data(), data->size());
           },
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
                if (cmd.size() != 1) throw nb::value_error("a command is one byte");
                const auto code = static_cast<uint8_t>(cmd.c_str()[0]);
                nb::gil_scoped_release unlocked;
                s.session().process_code(code);
            },
            "cmd"_a);

    // QR code.
    cls.def("get_qr_string", &TavServer::get_qr_string,
            "The connection string the app scans: ``PORT_addr1_addr2...``.")
        .def(
            "get_qr_image_raw",
            [](TavServer& s, nb::handle box) { return qr::image_rows(s.get_qr_string(), box); },
            "box_size"_a.none(),
            nb::sig("def get_qr_image_raw(self, box_size: int) -> list[bytearray]"),
            "The QR code as rows of grey bytes (0 black, 255 white), ``box_size`` pixels a\n"
            "module with a 4-module border.")
        .def(
            "get_qr_image_qt",
            [](TavServer& s, nb::handle box) { return qr::qt_pixmap(s.get_qr_string(), box); },
            "box_size"_a.none(), nb::sig("def get_qr_image_qt(self, box_size: int) -> typing.Any"),
            "The QR code as a QPixmap of the first of PySide2, PySide or PySide6 that imports\n"
            "(a QGuiApplication must be running).")
        .def(
            "write_qr_image_png",
            [](TavServer& s, nb::handle path, nb::handle box) {
                qr::write_png_file(s.get_qr_string(), path, box);
            },
            "file_path"_a.none(), "box_size"_a.none(),
            nb::sig("def write_qr_image_png(self, file_path: str | os.PathLike[str], "
                    "box_size: int) -> None"),
            "Write the QR code to ``file_path`` as an 8-bit greyscale PNG.")
        // Static as well: a host lists the addresses it may listen on before it serves.
        .def_static("_get_net_addresses", [] { return qr::net_address_list(); });

    // Streaming.
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
            [](TavServer& s, nb::handle flip) { s.stream().set_vertical_flip(truthy(flip)); },
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
                if (s.stream().is_encoding()) return;
                // Any other value is no format: the encoder's own error names the valid ones.
                const std::string format = PyUnicode_Check(input_format.ptr())
                                               ? nb::cast<std::string>(input_format)
                                               : std::string();
                streaming::pixel_format(format);
                s.stream().start_encoding(streaming::capture_side(width),
                                          streaming::capture_side(height), format,
                                          host_values::to_double(framerate),
                                          host_values::to_double(bitrate), truthy(vflip));
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
        .def_prop_ro("_pixel_format",
                     [](TavServer& s) -> nb::object {
                         const auto* pixels = s.stream().config().pixels;
                         if (!pixels) return nb::none();
                         return nb::str(pixels->name.data(), pixels->name.size());
                     })
        .def_prop_ro("_buff_size", [](TavServer& s) { return s.stream().frame_size(); })
        .def_prop_ro("_scrsht_pos", [](TavServer& s) { return s.stream().screenshot_position(); });
}

}  // namespace tav
