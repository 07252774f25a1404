// POSIX threads: the identity is the pthread_t.
#include "platform/thread_identity.hpp"

#include <pthread.h>

#include <type_traits>

namespace tav::platform {

namespace {

// pthread_t is an integer on Linux and a pointer on macOS; Python's thread identity is its value
// as an unsigned long either way.
template <typename T>
unsigned long as_ident(T t) {
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<unsigned long>(t);
    else
        return static_cast<unsigned long>(t);
}

}  // namespace

void name_this_thread(const std::string& name) {
#if defined(__APPLE__)
    pthread_setname_np(name.substr(0, 63).c_str());  // names only the calling thread
#else
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
#endif
}

unsigned long this_thread_id() { return as_ident(pthread_self()); }

unsigned long thread_id(std::thread& thread) { return as_ident(thread.native_handle()); }

}  // namespace tav::platform
