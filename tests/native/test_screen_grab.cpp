// The Windows screen grab (GDI) reads a window of a known colour as B, G, R, A; the part of a
// region beyond the screen is black. Under Wine it runs on an X display (Xvfb in the suite).
#ifdef _WIN32
#include <doctest/doctest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/screen_grab.hpp"

namespace {

namespace platform = tav::platform;

constexpr uint8_t kRed = 200, kGreen = 100, kBlue = 50;

// A borderless top-most window at (x, y) painted in the known colour.
class PaintedWindow {
  public:
    PaintedWindow(int x, int y, int width, int height) {
        WNDCLASSW c{};
        c.lpfnWndProc = DefWindowProcW;
        c.hInstance = GetModuleHandleW(nullptr);
        c.hbrBackground = brush_ = CreateSolidBrush(RGB(kRed, kGreen, kBlue));
        c.lpszClassName = L"tav_native_painted";
        RegisterClassW(&c);
        window_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, c.lpszClassName, L"",
                                  WS_POPUP | WS_VISIBLE, x, y, width, height, nullptr, nullptr,
                                  c.hInstance, nullptr);
        UpdateWindow(window_);
    }
    ~PaintedWindow() {
        DestroyWindow(window_);
        UnregisterClassW(L"tav_native_painted", GetModuleHandleW(nullptr));
        DeleteObject(brush_);
    }
    explicit operator bool() const { return window_ != nullptr; }
    void pump() const {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }

  private:
    HBRUSH brush_ = nullptr;
    HWND window_ = nullptr;
};

bool painted(const uint8_t* p) {
    return p[0] == kBlue && p[1] == kGreen && p[2] == kRed && p[3] == 255;
}
bool black(const uint8_t* p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255; }

// Grabs `region` until its column `first_painted` on shows the window (the display shows a new
// window a little later), at most 10 s; the last frame.
std::vector<uint8_t> grab_until_painted(const PaintedWindow& w, const platform::Region& region,
                                        int first_painted) {
    platform::ScreenGrab grab(region);
    std::vector<uint8_t> frame(size_t(region.width) * region.height * 4);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        w.pump();
        REQUIRE(grab.grab());
        grab.write(frame.data());
        const uint8_t* last = &frame[frame.size() - 4];
        if (painted(&frame[size_t(first_painted) * 4]) && painted(last)) return frame;
        if (std::chrono::steady_clock::now() > deadline) return frame;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

TEST_CASE("the screen grab reads a window's colour as B, G, R, A, and off the screen black") {
    PaintedWindow window(0, 30, 120, 80);
    REQUIRE(window);

    const platform::Region inside{10, 40, 32, 16};
    std::vector<uint8_t> frame = grab_until_painted(window, inside, 0);
    int wrong = 0;
    for (size_t i = 0; i < frame.size(); i += 4) wrong += !painted(&frame[i]);
    CHECK(wrong == 0);

    // Reaching 8 pixels beyond the screen's left edge: those columns are black.
    const platform::Region beyond{-8, 40, 32, 16};
    frame = grab_until_painted(window, beyond, 8);
    int wrong_black = 0, wrong_painted = 0;
    for (int row = 0; row < beyond.height; ++row)
        for (int col = 0; col < beyond.width; ++col) {
            const uint8_t* p = &frame[(size_t(row) * beyond.width + col) * 4];
            if (col < 8)
                wrong_black += !black(p);
            else
                wrong_painted += !painted(p);
        }
    CHECK(wrong_black == 0);
    CHECK(wrong_painted == 0);
}
#endif
