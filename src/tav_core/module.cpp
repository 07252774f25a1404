// The extension module tavrel.tav_core: binds the server and its parts. No logic lives here.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <cstring>

#include "core/core.hpp"
#include "ipc/ipc.hpp"
#include "protocol/protocol.hpp"
#include "streaming/streaming.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using tav::TavServer;

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
    m.attr("_IS_WINDOWS") = false;
    m.def("_command", &tav::command_byte, "n"_a);
    m.attr("_COMMANDS") = tav::command_table();
    m.attr("_WITH_LENGTH") = tav::kWithLength;

    nb::class_<PyLock>(m, "_Lock")
        .def("__init__", &PyLock::init, "from_share"_a = nb::none())
        .def("acquire", &PyLock::acquire, "blocking"_a = true, "timeout"_a = nb::none())
        .def("release", &PyLock::release)
        .def(
            "share", [](PyLock& l, nb::handle) { return l.share(); },
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
            "share", [](PyEvent& e, nb::handle) { return e.share(); },
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
    shm.attr("_O_CREX") = tav::ipc::Shm::kCreateFlags;
    shm.attr("_flags") = tav::ipc::Shm::kOpenFlags;
    shm.attr("_mode") = tav::ipc::Shm::kMode;
    shm.attr("_prepend_leading_slash") = true;

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
           nb::object event_mode, nb::object main_thread_func, nb::object python_executable) {
            new (t) TavServer(platform, plugin_version, tavbase, event_mode, main_thread_func,
                              python_executable);
            t->init_network_commands();
            t->log_version();
        },
        // None reaches the constructor's own checks, which refuse it with their value errors.
        "platform"_a.none(), "plugin_version"_a.none(), "tavbase"_a.none(), "event_mode"_a.none(),
        "main_thread_func"_a = nb::none(), "python_executable"_a = nb::none(),
        nb::sig("def __init__(self, platform: str, plugin_version: tuple[int, int, int], "
                "tavbase: tavrel.tav_base.TavBase, event_mode: int, "
                "main_thread_func: collections.abc.Callable[..., object] | None = None, "
                "python_executable: str | None = None) -> None"),
        "A server for the host named ``platform`` (shown to the app) whose plug-in has version\n"
        "``plugin_version``. ``tavbase`` is the host's TavBase; ``event_mode`` EVENTMODE_PUSH or\n"
        "EVENTMODE_PULL. In push mode ``main_thread_func(wrapper, callback, *args)``, if\n"
        "given, runs ``wrapper(callback, *args)`` in the host's main thread. ``python_executable`` "
        "is\n"
        "accepted for compatibility; the workers are forked. Raises ValueError for a bad\n"
        "``plugin_version`` or ``event_mode``.");

    cls.attr("SERVER_VERSION") = nb::make_tuple(
        TavServer::SERVER_VERSION[0], TavServer::SERVER_VERSION[1], TavServer::SERVER_VERSION[2]);
    cls.attr("CAPMODE_SCREENSHOT") = TavServer::CAPMODE_SCREENSHOT;
    cls.attr("CAPMODE_BUFFER") = TavServer::CAPMODE_BUFFER;
    cls.attr("CAPMODE_BUFFER_POINTER") = TavServer::CAPMODE_BUFFER_POINTER;
    cls.attr("CAPFORMAT_UBYTE_RGB") = TavServer::CAPFORMAT_UBYTE_RGB;
    cls.attr("CAPFORMAT_UBYTE_BGR") = TavServer::CAPFORMAT_UBYTE_BGR;
    cls.attr("CAPFORMAT_UBYTE_RGBA") = TavServer::CAPFORMAT_UBYTE_RGBA;
    cls.attr("CAPFORMAT_UBYTE_BGRA") = TavServer::CAPFORMAT_UBYTE_BGRA;
    cls.attr("EVENTMODE_PUSH") = TavServer::EVENTMODE_PUSH;
    cls.attr("EVENTMODE_PULL") = TavServer::EVENTMODE_PULL;
    cls.attr("_QUEUE_MAX_SIZE") = TavServer::QUEUE_MAX_SIZE;
    cls.attr("_ENC_MAX_RESOLUTION") =
        nb::make_tuple(TavServer::ENC_MAX_RESOLUTION[0], TavServer::ENC_MAX_RESOLUTION[1]);
    cls.attr("_JOIN_TIMEOUT") = TavServer::JOIN_TIMEOUT;

    // Read-only properties.
    cls.def_prop_ro("is_event_loop_running", &TavServer::is_event_loop_running,
                    "Pull mode: whether the host should keep calling execute_pending_events.")
        .def_prop_ro(
            "platform", [](TavServer& s) { return s.platform_; },
            nb::sig("def platform(self) -> str"), "The host name given at construction.")
        .def_prop_ro(
            "plugin_version", [](TavServer& s) { return s.plugin_version_; },
            nb::sig("def plugin_version(self) -> tuple[int, int, int]"),
            "The plug-in version given at construction.")
        .def_prop_ro(
            "event_mode", [](TavServer& s) { return s.event_mode_obj_; },
            nb::sig("def event_mode(self) -> int"), "EVENTMODE_PUSH or EVENTMODE_PULL.")
        .def_prop_ro(
            "tavbase", [](TavServer& s) { return s.tavbase_; },
            nb::sig("def tavbase(self) -> tavrel.tav_base.TavBase"),
            "The host object given at construction.")
        .def_prop_ro(
            "main_thread_func", [](TavServer& s) { return s.main_thread_func_; },
            nb::sig("def main_thread_func(self) -> collections.abc.Callable[..., object] | None"),
            "The main-thread runner given at construction, or None.")
        .def_prop_ro(
            "python_executable", [](TavServer& s) { return s.python_executable_; },
            nb::sig("def python_executable(self) -> None"),
            "None: the workers are forked, so no interpreter is started.")
        .def_prop_ro(
            "current_camera", [](TavServer& s) { return s.current_camera_; },
            nb::sig("def current_camera(self) -> str | None"),
            "The camera the app selected (the empty text before a selection).")
        .def_prop_ro(
            "capture_mode", [](TavServer& s) { return s.streaming_.capture_mode; },
            nb::sig("def capture_mode(self) -> int | None"),
            "The capture mode the host set (a CAPMODE_* value), or None.")
        .def_prop_ro(
            "capture_format", [](TavServer& s) { return s.streaming_.capture_format; },
            nb::sig("def capture_format(self) -> int | None"),
            "The buffer channel order the host set (a CAPFORMAT_* value), or None.")
        .def_prop_ro(
            "capture_width", [](TavServer& s) { return s.streaming_.capture_width; },
            nb::sig("def capture_width(self) -> int | None"),
            "The capture width the host set, or None.")
        .def_prop_ro(
            "capture_height", [](TavServer& s) { return s.streaming_.capture_height; },
            nb::sig("def capture_height(self) -> int | None"),
            "The capture height the host set, or None.")
        .def_prop_ro(
            "use_vflip", [](TavServer& s) { return s.streaming_.use_vflip; },
            "Whether frames are flipped vertically before encoding.")
        .def_prop_ro(
            "is_starting", [](TavServer& s) { return s.is_starting_.load(); },
            "Whether start_serving is binding the port.")
        .def_prop_ro(
            "is_stopping", [](TavServer& s) { return s.is_stopping_.load(); },
            "Whether a stop is in progress (server_did_stop follows).")
        .def_prop_ro(
            "is_serving", [](TavServer& s) { return s.is_serving_.load(); },
            "Whether the server listens for an app.")
        .def_prop_ro(
            "is_connected", [](TavServer& s) { return s.is_connected_.load(); },
            "Whether an app is connected.")
        .def_prop_ro(
            "is_capturing", [](TavServer& s) { return s.streaming_.is_capturing.load(); },
            "Whether a stream is running.")
        .def_prop_ro(
            "server_port", [](TavServer& s) { return s.server_port_; },
            "The TCP port the server listens on, or None before start_serving.")
        .def_prop_ro(
            "client_ip", [](TavServer& s) { return s.client_ip_; },
            "The connected app's address, or None.")
        .def_prop_ro(
            "client_port", [](TavServer& s) { return s.client_port_; },
            "The connected app's port, or None.");

    // Lifecycle and dispatch.
    cls.def("start_serving", &TavServer::start_serving, "port"_a,
            nb::sig("def start_serving(self, port: int) -> bool"),
            "Listen on ``port`` (0: any free port; see server_port) and serve apps. Returns\n"
            "whether serving started; False when the port could not be bound.")
        .def("stop_serving", &TavServer::stop_serving,
             "Stop serving: returns at once; the host's server_did_stop follows.")
        .def("update_script_labels", &TavServer::update_script_labels,
             "Send the host's current script labels to the connected app.")
        .def("execute_pending_events", &TavServer::execute_pending_events,
             "Pull mode: run the queued host operations in the calling thread. Raises what a\n"
             "host operation raised.")
        .def("_async_callback", &TavServer::async_callback, "callback"_a, "args"_a)
        .def("_callback_except_wrap", &TavServer::callback_except_wrap, "callback"_a, "args"_a)
        .def(
            "_log",
            [](TavServer&, nb::handle message) {
                tav::py::log(nb::cast<std::string>(nb::str(message)));
            },
            "message"_a)
        .def(
            "_async_log",
            [](TavServer& s, nb::handle message) {
                s.async_log(nb::cast<std::string>(nb::str(message)));
            },
            "message"_a)
        .def_prop_ro("_is_event_loop_running",
                     [](TavServer& s) { return s.is_event_loop_running_.load(); });

    // Transport and dispatcher.
    cls.def("_tcp_recv", &TavServer::tcp_recv_py, "size"_a)
        .def("_tcp_send", &TavServer::tcp_send_py, "cmd"_a, "data"_a = nb::bytes("", 0))
        .def("_tcp_send_with_len", &TavServer::tcp_send_with_len_py, "cmd"_a, "data"_a)
        .def("_stop_tcp_accept", &TavServer::stop_tcp_accept,
             nb::call_guard<nb::gil_scoped_release>())
        .def("_init_network_commands", &TavServer::init_network_commands)
        .def("_proccess_command", &TavServer::proccess_command, "cmd"_a);

    // Command handlers.
    cls.def("_check_current_camera", &TavServer::check_current_camera)
        .def("_get_server_name", &TavServer::get_server_name)
        .def("_send_server_info", &TavServer::send_server_info, "cmd"_a)
        .def("_send_scene_status", &TavServer::send_scene_status, "cmd"_a)
        .def("_send_scene_cameras", &TavServer::send_scene_cameras, "cmd"_a)
        .def("_send_camera_transform", &TavServer::send_camera_transform, "cmd"_a)
        .def("_send_play_fps", &TavServer::send_play_fps, "cmd"_a)
        .def("_send_camera_has_keys", &TavServer::send_camera_has_keys, "cmd"_a)
        .def("_send_script_info", &TavServer::send_script_info, "cmd"_a)
        .def("_send_plugin_version", &TavServer::send_plugin_version, "cmd"_a)
        .def("_set_playback_range", &TavServer::set_playback_range, "data"_a.none())
        .def("_set_current_time", &TavServer::set_current_time, "data"_a.none())
        .def("_set_current_camera", &TavServer::set_current_camera, "data"_a.none())
        .def("_set_camera_transform", &TavServer::set_camera_transform, "data"_a.none())
        .def("_set_camera_transform_at_time", &TavServer::set_camera_transform_at_time,
             "data"_a.none())
        .def("_set_focal_length", &TavServer::set_focal_length, "data"_a.none())
        .def("_set_focal_length_at_time", &TavServer::set_focal_length_at_time, "data"_a.none())
        .def("_set_camera_all", &TavServer::set_camera_all, "data"_a.none())
        .def("_set_camera_all_at_time", &TavServer::set_camera_all_at_time, "data"_a.none())
        .def("_extract_camera_matrix_keys", &TavServer::extract_camera_matrix_keys)
        .def("_extract_camera_flen_keys", &TavServer::extract_camera_flen_keys)
        .def("_set_camera_transform_keys", &TavServer::set_camera_transform_keys, "keyframes"_a,
             "values"_a)
        .def("_set_camera_flen_keys", &TavServer::set_camera_flen_keys, "keyframes"_a, "values"_a)
        .def("_start_playback", &TavServer::start_playback, "data"_a.none())
        .def("_stop_playback", &TavServer::stop_playback)
        .def("_remove_camera_keys", &TavServer::remove_camera_keys)
        .def("_create_new_camera", &TavServer::create_new_camera)
        .def("_execute_script", &TavServer::execute_script, "cmd"_a, "data"_a.none());

    // QR code.
    cls.def("get_qr_string", &TavServer::get_qr_string,
            "The connection string the app scans: ``PORT_addr1_addr2...``.")
        .def("get_qr_image_raw", &TavServer::get_qr_image_raw, "box_size"_a.none(),
             nb::sig("def get_qr_image_raw(self, box_size: int) -> list[bytearray]"),
             "The QR code as rows of grey bytes (0 black, 255 white), ``box_size`` pixels a\n"
             "module with a 4-module border.")
        .def("get_qr_image_qt", &TavServer::get_qr_image_qt, "box_size"_a.none(),
             nb::sig("def get_qr_image_qt(self, box_size: int) -> typing.Any"),
             "The QR code as a QPixmap of the first of PySide2, PySide or PySide6 that imports\n"
             "(a QGuiApplication must be running).")
        .def("write_qr_image_png", &TavServer::write_qr_image_png, "file_path"_a.none(),
             "box_size"_a.none(),
             nb::sig("def write_qr_image_png(self, file_path: str | os.PathLike[str], "
                     "box_size: int) -> None"),
             "Write the QR code to ``file_path`` as an 8-bit greyscale PNG.")
        .def("_get_net_addresses", &TavServer::get_net_addresses);

    // Streaming.
    cls.def("set_capture_mode", &TavServer::set_capture_mode, "capture_mode"_a.none(),
            "capture_format"_a.none() = nb::none(),
            nb::sig("def set_capture_mode(self, capture_mode: int, capture_format: int | None = "
                    "None) -> None"),
            "From capture_will_start: a CAPMODE_* value and, for the buffer modes, a\n"
            "CAPFORMAT_* channel order.")
        .def("set_capture_resolution", &TavServer::set_capture_resolution, "width"_a.none(),
             "height"_a.none(),
             nb::sig("def set_capture_resolution(self, width: int, height: int) -> None"),
             "The size of the captured frames; during a stream a new size restarts the encoder.")
        .def("set_vertical_flip", &TavServer::set_vertical_flip, "use_vflip"_a.none(),
             nb::sig("def set_vertical_flip(self, use_vflip: bool) -> None"),
             "Flip the frames vertically before encoding (for hosts whose rows run bottom first).")
        .def("_clamp_resolution", &TavServer::clamp_resolution, "width"_a, "height"_a)
        .def("_start_streaming", &TavServer::start_streaming, "data"_a.none())
        .def("_stop_streaming", &TavServer::stop_streaming)
        .def("_send_viewport_img", &TavServer::send_viewport_img)
        .def("_async_get_capture_coords", &TavServer::async_get_capture_coords)
        .def("_async_get_capture_pointer", &TavServer::async_get_capture_pointer)
        .def("_async_get_capture_buffer", &TavServer::async_get_capture_buffer)
        .def("_encode_frame", &TavServer::encode_frame, "address"_a)
        .def("_capture_screenshot", &TavServer::capture_screenshot)
        .def("_restart_encoding", &TavServer::restart_encoding, "width"_a, "height"_a)
        .def("_restart_screenshot", &TavServer::restart_screenshot, "x"_a, "y"_a, "width"_a,
             "height"_a)
        .def("_start_autosend", &TavServer::start_autosend, "fps"_a)
        .def("_stop_autosend", &TavServer::stop_autosend)
        .def("_start_encoding", &TavServer::start_encoding, "width"_a, "height"_a,
             "input_format"_a.none(), "framerate"_a, "bitrate"_a, "vflip"_a)
        .def("_start_screenshot", &TavServer::start_screenshot, "x"_a, "y"_a, "width"_a, "height"_a)
        .def("_stop_encoding", &TavServer::stop_encoding)
        .def("_stop_screenshot", &TavServer::stop_screenshot)
        .def("_start_fork", &TavServer::start_fork, "target"_a, "args"_a)
        .def(
            "_wait_forked_process",
            [](TavServer&, pid_t pid, double time_limit, double interval) {
                return tav::streaming::wait_process(pid, time_limit, interval);
            },
            "pid"_a, "time_limit"_a, "interval"_a = 0.05, nb::call_guard<nb::gil_scoped_release>())
        .def(
            "_kill_forked_process",
            [](TavServer&, pid_t pid) { tav::streaming::kill_process(pid); }, "pid"_a)
        .def("_get_environment", &TavServer::get_environment)
        .def("_guess_python_executable", &TavServer::guess_python_executable)
        .def_prop_ro("_encoding_process",
                     [](TavServer& s) { return s.streaming_.encoding_process.pid; })
        .def_prop_ro("_screenshot_process",
                     [](TavServer& s) { return s.streaming_.screenshot_process.pid; })
        .def_prop_ro("_is_encoding", [](TavServer& s) { return s.streaming_.is_encoding.load(); })
        .def_prop_ro("_is_screenshooting",
                     [](TavServer& s) { return s.streaming_.is_screenshooting.load(); })
        .def_prop_ro("_is_autosend", [](TavServer& s) { return s.streaming_.is_autosend.load(); })
        .def_prop_ro("_pixel_format", [](TavServer& s) { return s.streaming_.pixel_format; })
        .def_prop_ro("_buff_size", [](TavServer& s) { return s.streaming_.buff_size; })
        .def_prop_ro("_scrsht_pos", [](TavServer& s) { return s.streaming_.scrsht_pos; });

    // Worker entry points.
    m.def("_ep", &tav::streaming::encoder_entry, "args"_a = nb::none());
    m.def("_sp", &tav::streaming::screenshot_entry, "args"_a = nb::none());

    m.attr("__all__") = nb::make_tuple("TavServer", "_ep", "_sp");
}
