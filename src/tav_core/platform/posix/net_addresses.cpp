#include "platform/net_addresses.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <system_error>

namespace tav::platform {

namespace {

struct IfaddrsFree {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

bool reachable(std::string_view address) {
    // A plain text test: other loopback addresses such as 127.0.1.1 may name this machine on a
    // network and stay in.
    return address != "127.0.0.1" && !address.starts_with("169.254.");
}

}  // namespace

std::vector<std::string> net_addresses() {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0)
        throw std::system_error(errno, std::generic_category(), "getifaddrs");
    std::unique_ptr<ifaddrs, IfaddrsFree> list(raw);

    // The kernel lists the addresses adapter by adapter in index order, so walking the list keeps
    // both the adapter order and each adapter's own address order.
    std::vector<std::string> addresses;
    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (!::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) continue;
        if (reachable(text)) addresses.emplace_back(text);
    }
    return addresses;
}

}  // namespace tav::platform
