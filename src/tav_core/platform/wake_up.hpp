// Waking a thread that waits for sockets (wait_sockets in socket.hpp): ready once set, until
// cleared. Made for the app connection's writer, which waits for its socket and this together. On
// POSIX a descriptor that reads as ready.
#pragma once

namespace tav::platform {

class WakeUp {
  public:
    WakeUp();  // throws std::system_error
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    // What poll() watches for reading (the platform's own wait uses it).
    int fd() const { return read_fd_; }
    void set();
    void clear();

  private:
    int read_fd_ = -1, write_fd_ = -1;  // one descriptor where the system has a counter for it
};

}  // namespace tav::platform
