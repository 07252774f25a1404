// printf-style formatting into a std::string, for the server's log lines.
#pragma once

#include <cstdio>
#include <string>

namespace tav {

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    const int n = std::snprintf(nullptr, 0, fmt, args...);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, fmt, args...);
    return out;
}

}  // namespace tav
