// Windows: GetProcAddress over every module the process has loaded. The interpreter's own exports
// live in python3X.dll, not in the stable ABI's python3.dll the module links, so no one module
// handle serves.
#include "platform/loaded_symbol.hpp"

// clang-format off: windows.h comes first
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <vector>

namespace tav::platform {

void* loaded_symbol(const char* name) {
    std::vector<HMODULE> modules(256);
    DWORD needed = 0;
    for (;;) {
        DWORD size = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
        if (!::K32EnumProcessModules(::GetCurrentProcess(), modules.data(), size, &needed))
            return nullptr;
        if (needed <= size) break;
        modules.resize(needed / sizeof(HMODULE) + 16);
    }
    modules.resize(needed / sizeof(HMODULE));
    for (HMODULE m : modules)
        if (FARPROC f = ::GetProcAddress(m, name)) return reinterpret_cast<void*>(f);
    return nullptr;
}

}  // namespace tav::platform
