// Waking a thread that waits in poll(): a descriptor that reads as ready once set, until cleared.
// Made for the app connection's writer, which polls its socket and this together.
#pragma once

namespace tav::platform {

class WakeUp {
  public:
    WakeUp();  // throws std::system_error
    ~WakeUp();
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    // What to poll for reading.
    int fd() const { return read_fd_; }
    void set();
    void clear();

  private:
    int read_fd_ = -1, write_fd_ = -1;  // one descriptor where the system has a counter for it
};

}  // namespace tav::platform
