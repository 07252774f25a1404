// The IPv4 addresses under which the app may reach this machine.
#pragma once

#include <string>
#include <vector>

namespace tav::platform {

// Every IPv4 address of every network adapter, as dotted-decimal text, adapters in the order the
// system reports them and each adapter's addresses in its order, duplicates kept; without
// 127.0.0.1 (the phone cannot reach it) and link-local 169.254.x.y addresses. Blocks briefly on
// the kernel (call without the GIL). Throws std::system_error when the adapters cannot be listed.
std::vector<std::string> net_addresses();

}  // namespace tav::platform
