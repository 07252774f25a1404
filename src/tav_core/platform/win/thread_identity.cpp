// Windows: the identity is the thread id (what threading.get_ident() gives there); names through
// SetThreadDescription, looked up because Windows has it only since 10 1607 (and MinGW's headers
// do not declare it).
#include "platform/thread_identity.hpp"

#include <pthread.h>
#include <windows.h>

#include "platform/win/wide.hpp"

namespace tav::platform {

void name_this_thread(const std::string& name) {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set_description = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set_description) set_description(::GetCurrentThread(), detail::wide(name).c_str());
}

unsigned long this_thread_id() { return ::GetCurrentThreadId(); }

// std::thread runs on winpthreads here: its native handle is a pthread_t.
unsigned long thread_id(std::thread& thread) {
    return ::GetThreadId(static_cast<HANDLE>(pthread_gethandle(thread.native_handle())));
}

}  // namespace tav::platform
