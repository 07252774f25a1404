// The dispatcher: echo, request payload and delivery of every code the app sends.
#include "runtime/python.hpp"
#include "server/app_session.hpp"
#include "server/command_table.hpp"
#include "streaming/stream.hpp"

namespace tav {

// The payload is read whatever became of the echo, so the next byte read is always a command.
void AppSession::process_code(uint8_t code) {
    const RouteEntry& e = route_of(code);
    if (e.route == Route::ignore) return;
    Request request{code, std::nullopt, std::nullopt};
    if (e.echo) context_.link.send_code(code);
    if (e.payload > 0) request.payload = context_.link.recv_payload(e.payload);
    if (e.key_doubles > 0) {
        request.keys = read_key_list(context_.link, e.key_doubles);
        if (!request.keys) return;
    }

    std::shared_ptr<OneShot> started;
    {
        py::Gil gil;
        try {
            if (e.route == Route::stop) {
                context_.stream.stop();
                return;
            }
            if (e.route == Route::start) started = context_.stream.announce_start();
            context_.host.deliver_native([this, handler = e.handler, request = std::move(request)] {
                handler(context_, request);
            });
        } catch (...) {
            if (started) started->set();
            py::report_current_exception(kNetworkThread);
        }
    }
    // The next command is read only once the capture is set up (or the start gave up). A server
    // stop releases this wait; one that came before the event was in place is seen here.
    if (started) {
        if (!state_.is_serving) started->set();
        started->wait();
    }
}

void AppSession::run_now(uint8_t code) {
    py::HostContext context;
    route_of(code).handler(context_, Request{code, std::nullopt, std::nullopt});
}

}  // namespace tav
