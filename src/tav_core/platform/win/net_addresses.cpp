// Windows: GetAdaptersAddresses, IPv4 only, adapters that are up.
#include "platform/net_addresses.hpp"

// clang-format off: winsock2.h comes first
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace tav::platform {

namespace {

bool reachable(std::string_view address) {
    return address != "127.0.0.1" && !address.starts_with("169.254.");
}

std::string dotted(const sockaddr_in& in) {
    const auto* b = reinterpret_cast<const unsigned char*>(&in.sin_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

}  // namespace

std::vector<std::string> net_addresses() {
    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    std::vector<unsigned char> buffer(16 * 1024);
    ULONG size = static_cast<ULONG>(buffer.size());
    ULONG result;
    // The list may grow between the calls: asked again with the size the last call gave.
    for (int tries = 0; tries < 4; ++tries) {
        result =
            ::GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (result != ERROR_BUFFER_OVERFLOW) break;
        buffer.resize(size);
    }
    std::vector<std::string> addresses;
    if (result == ERROR_NO_DATA) return addresses;
    if (result != NO_ERROR)
        throw std::system_error(result == ERROR_NOT_ENOUGH_MEMORY ? ENOMEM : EIO,
                                std::generic_category(), "GetAdaptersAddresses");
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
            std::string text = dotted(*reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr));
            if (reachable(text)) addresses.push_back(std::move(text));
        }
    }
    return addresses;
}

}  // namespace tav::platform
