// Which system this build is for, for the few rules the module's Python face states per system
// (`_IS_WINDOWS`, how a lock is shared with a worker).
#pragma once

namespace tav::platform {

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

}  // namespace tav::platform
