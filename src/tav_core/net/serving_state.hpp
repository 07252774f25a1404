// Where the server is in its serving lifecycle and who is connected: the flags every piece reads.
// Who writes each field, and what guards it: docs/threads.md.
#pragma once

#include <atomic>
#include <optional>
#include <string>

namespace tav {

struct ServingState {
    std::atomic<bool> is_starting{false}, is_stopping{false}, is_serving{false},
        is_connected{false};
    std::optional<std::string> client_ip;
    std::optional<int> client_port;
};

}  // namespace tav
