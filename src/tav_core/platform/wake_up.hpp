// Waking a thread that waits for sockets (wait_sockets in socket.hpp): ready once set, until
// cleared. Made for the app connection's writer, which waits for its socket and this together. On
// POSIX a descriptor that reads as ready; on Windows a socket that reads as ready (the wait there
// is WSAPoll, which watches sockets only: win/wake_up.cpp says why).
#pragma once

#include <cstdint>

namespace tav::platform {

class WakeUp {
  public:
    WakeUp();  // throws std::system_error
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

#ifdef _WIN32
    // What WSAPoll watches for reading (the platform's own wait uses it): a SOCKET.
    std::uintptr_t socket() const { return read_; }
#else
    // What poll() watches for reading (the platform's own wait uses it).
    int fd() const { return read_fd_; }
#endif
    void set();
    void clear();

  private:
#ifdef _WIN32
    std::uintptr_t read_ = ~std::uintptr_t{0}, write_ = ~std::uintptr_t{0};  // a loopback pair
#else
    int read_fd_ = -1, write_fd_ = -1;  // one descriptor where the system has a counter for it
#endif
};

}  // namespace tav::platform
