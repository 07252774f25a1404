// A process's creation time (GetProcessTimes) tells it apart from a later one with the same pid.
#include <windows.h>

#include "platform/process.hpp"

namespace tav::platform {

namespace {

// The creation time of process `h` in 100 ns steps since 1601; 0 when unknown.
uint64_t creation_time(HANDLE h) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(h, &created, &exited, &kernel, &user)) return 0;
    return uint64_t(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

}  // namespace

ProcessStamp stamp_of_this_process() {
    ProcessStamp s;
    s.pid = GetCurrentProcessId();
    s.start_time = creation_time(GetCurrentProcess());
    return s;
}

bool stamped_process_gone(const ProcessStamp& s) {
    if (s.pid == 0 || s.pid_namespace != 0 || s.pid > 0xffffffffu) return false;  // not ours
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(s.pid));
    if (!h) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(h, &code) && code != STILL_ACTIVE;
    const uint64_t start = creation_time(h);
    CloseHandle(h);
    return ended || (start != 0 && s.start_time != 0 && start != s.start_time);
}

}  // namespace tav::platform
