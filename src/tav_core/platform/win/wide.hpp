// UTF-8 text as the UTF-16 that Windows' wide calls take.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tav::platform::detail {

inline std::wstring wide(std::string_view text) {
    const int size = static_cast<int>(text.size());
    std::wstring out(
        static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), static_cast<int>(out.size()));
    return out;
}

}  // namespace tav::platform::detail
