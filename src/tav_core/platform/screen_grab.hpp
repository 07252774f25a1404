// Grabbing a rectangle of the screen as B, G, R, A pixels: the X screen that DISPLAY names
// (x11/screen_grab.cpp), or the Windows desktop through GDI (win/screen_grab.cpp).
//
// The system's headers stay out of this header: X's define macros (None, Status, Bool) that clash
// with ordinary C++ names.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace tav::platform {

// A rectangle of the screen in root-window pixels; it may reach beyond the screen.
struct Region {
    int x = 0, y = 0, width = 0, height = 0;
};

// The display could not be opened (DISPLAY unset, or no server behind it).
class DisplayUnavailable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One connection to the display and what the grab of one region needs, made once. On X11 the
// server writes each grab into a shared segment (MIT-SHM), or sends it over the connection where
// the extension is missing (a remote display); X errors are recorded, never fatal to the process.
// One grabber per process at a time: X error handlers are process-wide.
class ScreenGrab {
  public:
    // DisplayUnavailable when the display cannot be opened; std::runtime_error for a screen
    // whose pixels cannot be read as colours (palettes).
    explicit ScreenGrab(const Region& region);
    ~ScreenGrab();
    ScreenGrab(const ScreenGrab&) = delete;
    ScreenGrab& operator=(const ScreenGrab&) = delete;

    // Grabs the part of the region that lies on the screen. False when the server refused the
    // grab even after fitting the region to the screen again (the frame is to be skipped);
    // std::runtime_error once the connection to the display is lost.
    bool grab();

    // Writes the last grab into `frame`: width x height x 4 bytes, B, G, R, 255, top row first.
    // The part of the region off the screen is black (painted on the first write after the
    // on-screen part changed; nothing else ever writes there).
    void write(uint8_t* frame);

    bool uses_shared_memory() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tav::platform
