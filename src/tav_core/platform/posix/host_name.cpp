#include "platform/host_name.hpp"

#include <unistd.h>

namespace tav::platform {

std::optional<std::string> host_name() {
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0) return std::nullopt;
    return std::string(name);
}

}  // namespace tav::platform
