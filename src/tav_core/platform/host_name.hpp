// The machine's host name, as the system reports it.
#pragma once

#include <optional>
#include <string>

namespace tav::platform {

// None when the system cannot tell.
std::optional<std::string> host_name();

}  // namespace tav::platform
