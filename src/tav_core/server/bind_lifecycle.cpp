// TavServer's constructor and constants, serving, the host's event loop and the QR code.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "net/net.hpp"
#include "qr/connection_qr.hpp"
#include "runtime/version.hpp"
#include "server/bindings.hpp"
#include "server/python_calls.hpp"

namespace tav {

using namespace nb::literals;

void bind_server(nb::module_& m) {
    using CaptureMode = TavServer::CaptureMode;
    using CaptureFormat = TavServer::CaptureFormat;
    using EventMode = TavServer::EventMode;
    ServerClass cls(m, "TavServer", nb::dynamic_attr(), R"doc(
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
            set_command_codes(nb::find(t));
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
        "interpreter, found by _guess_python_executable; forked workers run none). Raises\n"
        "ValueError for a bad ``plugin_version``, ``event_mode`` or ``worker_launch``,\n"
        "TypeError for a ``python_executable`` that is not text.");

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

    // Serving and the host's event loop.
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
            "host operation raised.");

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
            "Write the QR code to ``file_path`` as an 8-bit greyscale PNG.");

    bind_properties(cls);
    bind_streaming(cls);
    bind_internals(cls);
}

}  // namespace tav
