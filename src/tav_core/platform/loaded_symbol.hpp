// Finding a function among what the process has loaded (the running interpreter's exports).
#pragma once

namespace tav::platform {

// The address of the symbol `name` in any module the process has loaded, or null.
void* loaded_symbol(const char* name);

}  // namespace tav::platform
