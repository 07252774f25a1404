// Windows: the DNS host name, which gethostname() gives too, without starting Winsock.
#include "platform/host_name.hpp"

#include <windows.h>

namespace tav::platform {

std::optional<std::string> host_name() {
    char name[256] = "";
    DWORD size = sizeof name;
    if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return std::nullopt;
    return std::string(name, size);
}

}  // namespace tav::platform
