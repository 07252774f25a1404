// A borderless window of one colour on top of everything, for the screen grab to find: a Win32
// window on Windows (under Wine: on its X display), an X window on the display of $DISPLAY
// elsewhere. The screen shows it a little after it is made: call shown() until it is.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/screen_grab.hpp"

namespace native_test {

struct Rgb {
    std::uint8_t r, g, b;
};

class PaintedWindow {
  public:
    // std::runtime_error when no window can be made (no display).
    PaintedWindow(int x, int y, int width, int height, Rgb colour);
    ~PaintedWindow();
    PaintedWindow(const PaintedWindow&) = delete;
    PaintedWindow& operator=(const PaintedWindow&) = delete;

    // Handles what the window system sent it (Windows paints a window when asked).
    void pump();
    // True once a grab of `region` (inside the window) reads the colour everywhere; waits at most
    // `seconds`, pumping meanwhile.
    bool shown(const tav::platform::Region& region, double seconds);

  private:
    struct Native;
    std::unique_ptr<Native> native_;
    Rgb colour_;
};

}  // namespace native_test
