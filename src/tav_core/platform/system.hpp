// Which system this build is for, for the few rules the module's Python face states per system
// (`_IS_WINDOWS`, how a lock is shared with a worker, how workers start).
#pragma once

namespace tav::platform {

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// Whether workers are forked unless the host asks otherwise: only where a forked child of a host
// may run the worker's code. A forked child of a macOS host may not touch the system's frameworks;
// Windows has no fork.
#if defined(__linux__)
inline constexpr bool kForkWorkers = true;
#else
inline constexpr bool kForkWorkers = false;
#endif

}  // namespace tav::platform
