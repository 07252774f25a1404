// The streaming session: start, stop, frame requests and automatic sending.
#include "core/server.hpp"

namespace tav {

void TavServer::start_streaming(nb::handle data) {
    (void)data;
    if (auto started = streaming_.start_streaming_event.load()) started->set();
}

void TavServer::stop_streaming() {}

}  // namespace tav
