// TavServer: the one object a host plug-in creates. It owns every piece of server state; its
// member functions are defined by concern in the folders of this tree:
//   core/       construction, properties, serving lifecycle, event dispatch, logging
//   protocol/   network thread, framing, command dispatch and command handlers
//   streaming/  capture configuration, streaming session, worker processes
//   qr/         connection string and QR renderings
// Which thread runs each member, the locks and the GIL, and what guards each field:
// docs/threads.md.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/callback_queue.hpp"
#include "core/daemon_thread.hpp"
#include "core/one_shot.hpp"
#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "protocol/commands.hpp"
#include "protocol/connection.hpp"
#include "protocol/host_values.hpp"
#include "protocol/key_lists.hpp"
#include "protocol/socket_io.hpp"
#include "streaming/session_state.hpp"

namespace tav {

namespace nb = nanobind;

class TavServer {
  public:
    // The package version (pyproject.toml), passed in by the build.
    static constexpr int SERVER_VERSION[3] = {TAV_VERSION_MAJOR, TAV_VERSION_MINOR,
                                              TAV_VERSION_PATCH};
    static constexpr int CAPMODE_SCREENSHOT = 0;
    static constexpr int CAPMODE_BUFFER = 1;
    static constexpr int CAPMODE_BUFFER_POINTER = 2;
    static constexpr int CAPFORMAT_UBYTE_RGB = 0;
    static constexpr int CAPFORMAT_UBYTE_BGR = 1;
    static constexpr int CAPFORMAT_UBYTE_RGBA = 2;
    static constexpr int CAPFORMAT_UBYTE_BGRA = 3;
    static constexpr int EVENTMODE_PUSH = 0;
    static constexpr int EVENTMODE_PULL = 1;

    static constexpr int QUEUE_MAX_SIZE = 3;
    static constexpr int ENC_MAX_RESOLUTION[2] = {720, 720};
    static constexpr int JOIN_TIMEOUT = 5;

    TavServer(nb::object platform, nb::object plugin_version, nb::object tavbase,
              nb::object event_mode, nb::object main_thread_func, nb::object python_executable);
    ~TavServer();
    TavServer(const TavServer&) = delete;
    TavServer& operator=(const TavServer&) = delete;

    // ---- core/server.cpp: lifecycle --------------------------------------------------------
    bool start_serving(nb::handle port);
    void stop_serving();
    void update_script_labels();
    void stop_serving_thread();  // body of the stop thread

    // ---- core/dispatch.cpp: event dispatch and logging ------------------------------------
    void async_callback(nb::handle callback, nb::args args);
    void callback_except_wrap(nb::handle callback, nb::args args);
    void execute_pending_events();
    bool is_event_loop_running();
    void async_log(std::string_view message);
    // Delivers the named method of this object with `args`.
    void deliver(const char* method, nb::tuple args);
    // Delivers the named host operation with the server as its first argument.
    void deliver_host(const char* operation);
    // Calls a host operation directly (already in host context). Its result carries the
    // operation's name to the checks that convert it; an error it raises gets a note naming it.
    template <typename... Args>
    host_values::Returned host(const char* operation, Args&&... args) {
        try {
            return {tavbase_.attr(operation)(self(), std::forward<Args>(args)...), operation};
        } catch (nb::python_error& e) {
            host_values::note_raised_by(e, operation);
            throw;
        }
    }
    nb::object self() { return nb::find(this); }

    // ---- protocol/transport.cpp: framing -------------------------------------------------
    nb::object tcp_recv_py(size_t size);
    void tcp_send_py(nb::bytes cmd, nb::bytes data);
    void tcp_send_with_len_py(nb::bytes cmd, nb::bytes data);
    void stop_tcp_accept();
    // Exactly `size` bytes of request payload, or nothing when the connection is gone or fails.
    std::optional<std::string> recv_payload(size_t size);
    // Hands one whole message to the app connection and returns at once (dropped when no app is
    // connected): it never waits for the network.
    void send_message(std::string_view message);
    void send(std::string_view message) { send_message(message); }
    void send_code(uint8_t code) { send(std::string_view(reinterpret_cast<char*>(&code), 1)); }
    // The current app connection, or none.
    std::shared_ptr<net::Connection> connection();
    // Ends the current app connection (any blocked read returns).
    void shutdown_client();
    // Whether a new frame may be made now: the app has received nearly all sent before. A refused
    // request the app waits on (`defer`) is served later by the network thread.
    bool admit_frame(bool defer);

    // ---- protocol/network_thread.cpp -------------------------------------------------------
    void handle_tcp_socket();
    void run_session(net::Connection& connection, const std::string& ip, int port);

    // ---- protocol/dispatcher.cpp -----------------------------------------------------------
    void init_network_commands();
    void log_version();
    void proccess_command(nb::bytes cmd);
    void process_code(uint8_t code);

    // ---- protocol/queries.cpp --------------------------------------------------------------
    bool check_current_camera();
    nb::bytes get_server_name();
    std::string platform_ascii();
    void send_server_info(nb::bytes cmd);
    void send_scene_status(nb::bytes cmd);
    void send_scene_cameras(nb::bytes cmd);
    void send_camera_transform(nb::bytes cmd);
    void send_play_fps(nb::bytes cmd);
    void send_camera_has_keys(nb::bytes cmd);
    void send_script_info(nb::bytes cmd);
    void send_plugin_version(nb::bytes cmd);

    // ---- protocol/settings.cpp -------------------------------------------------------------
    void set_playback_range(nb::handle data);
    void set_current_time(nb::handle data);
    void set_current_camera(nb::handle data);
    void set_camera_transform(nb::handle data);
    void set_camera_transform_at_time(nb::handle data);
    void set_focal_length(nb::handle data);
    void set_focal_length_at_time(nb::handle data);
    void set_camera_all(nb::handle data);
    void set_camera_all_at_time(nb::handle data);
    std::optional<KeyList> read_key_list(size_t record_doubles);
    nb::tuple key_list_to_python(const KeyList& keys);
    nb::object extract_keys_py(size_t record_doubles);
    nb::object extract_camera_matrix_keys();
    nb::object extract_camera_flen_keys();
    void set_camera_transform_keys(nb::handle keyframes, nb::handle values);
    void set_camera_flen_keys(nb::handle keyframes, nb::handle values);

    // ---- protocol/actions.cpp --------------------------------------------------------------
    void start_playback(nb::handle data);
    void stop_playback();
    void remove_camera_keys();
    void create_new_camera();
    void execute_script(nb::bytes cmd, nb::handle data);

    // ---- streaming/capture_config.cpp -----------------------------------------------------
    void set_capture_mode(nb::object capture_mode, nb::object capture_format);
    void set_capture_resolution(nb::object width, nb::object height);
    void set_vertical_flip(nb::handle use_vflip);
    nb::tuple clamp_resolution(nb::object width, nb::object height);

    // ---- streaming/session.cpp -------------------------------------------------------------
    void start_streaming(nb::handle data);
    void stop_streaming();
    void send_viewport_img();         // the app's frame request
    void send_frame(bool app_waits);  // the frame path of every frame request
    void serve_deferred_frame();      // an app's request that waited for the backlog
    void request_from_host(const char* getter);
    void async_get_capture_coords();
    void async_get_capture_pointer();
    void async_get_capture_buffer();
    void copy_frame(const void* source, size_t available);
    void encode_frame(uint64_t address);
    void capture_screenshot();
    void restart_encoding(nb::object width, nb::object height);
    void restart_screenshot(nb::object x, nb::object y, nb::object width, nb::object height);
    void restart_workers(nb::object width, nb::object height);  // both, in the safe order
    void revive_workers();

    // ---- streaming/autosend.cpp ------------------------------------------------------------
    void start_autosend(double fps);
    void autosend_loop(double period);  // body of the autosend thread
    void stop_autosend();

    // ---- streaming/workers.cpp -------------------------------------------------------------
    void start_encoding(nb::object width, nb::object height, nb::object input_format,
                        nb::object framerate, nb::object bitrate, nb::object vflip);
    void start_screenshot(nb::object x, nb::object y, nb::object width, nb::object height);
    void stop_encoding();
    void stop_screenshot();
    void stop_worker(streaming::Worker& worker, ipc::Event& keep, ipc::Event& wake);
    void encoder_failed();
    void graceful_process_exit(pid_t pid);
    void reclaim_locks_of(pid_t pid);
    std::optional<pid_t> start_fork(nb::handle target, nb::handle args);

    // ---- streaming/worker_environment.cpp --------------------------------------------------
    nb::dict get_environment();
    nb::str guess_python_executable();

    // ---- qr/server_qr.cpp: connection string and QR renderings ------------------------------
    std::string get_qr_string();
    nb::list get_qr_image_raw(nb::handle box_size);
    nb::object get_qr_image_qt(nb::handle box_size);
    void write_qr_image_png(nb::handle file_path, nb::handle box_size);
    nb::list get_net_addresses();

    // ---- state (who writes each field, and what guards it: docs/threads.md) ---------------
    // Configuration (read-only properties).
    nb::object platform_, plugin_version_, tavbase_, event_mode_obj_, main_thread_func_,
        python_executable_;
    int event_mode_ = EVENTMODE_PUSH;
    std::string platform_text_;

    // Serving flags.
    std::atomic<bool> is_starting_{false}, is_stopping_{false}, is_serving_{false},
        is_connected_{false}, is_event_loop_running_{false};
    std::optional<int> server_port_;
    std::optional<std::string> client_ip_;
    std::optional<int> client_port_;
    nb::object current_camera_;  // text or none
    nb::object scene_cameras_;   // sequence or none

    // Sockets: the listening socket and the app connection.
    net::Socket srv_socket_;
    std::mutex client_mutex_;
    std::shared_ptr<net::Connection> connection_;

    DaemonThread tcp_srv_thread_, stop_srv_thread_;
    std::shared_ptr<CallbackQueue> callback_queue_;
    std::shared_ptr<ipc::Lock> socket_lock_;
    std::mutex push_mutex_;

    streaming::SessionState streaming_;
};

}  // namespace tav
