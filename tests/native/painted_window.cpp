#include "painted_window.hpp"

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

namespace native_test {

#ifdef _WIN32
namespace {
constexpr const wchar_t* kClass = L"tav_native_stream_window";
}

struct PaintedWindow::Native {
    HBRUSH brush = nullptr;
    HWND window = nullptr;
};

PaintedWindow::PaintedWindow(int x, int y, int width, int height, Rgb colour)
    : native_(std::make_unique<Native>()), colour_(colour) {
    WNDCLASSW c{};
    c.lpfnWndProc = DefWindowProcW;
    c.hInstance = GetModuleHandleW(nullptr);
    c.hbrBackground = native_->brush = CreateSolidBrush(RGB(colour.r, colour.g, colour.b));
    c.lpszClassName = kClass;
    RegisterClassW(&c);
    native_->window =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClass, L"", WS_POPUP | WS_VISIBLE, x, y,
                        width, height, nullptr, nullptr, c.hInstance, nullptr);
    if (!native_->window) {
        DeleteObject(native_->brush);
        throw std::runtime_error("CreateWindowExW failed: " + std::to_string(GetLastError()));
    }
    UpdateWindow(native_->window);
}

PaintedWindow::~PaintedWindow() {
    DestroyWindow(native_->window);
    UnregisterClassW(kClass, GetModuleHandleW(nullptr));
    DeleteObject(native_->brush);
}

void PaintedWindow::pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
}
#else
struct PaintedWindow::Native {
    Display* display = nullptr;
    Window window = 0;
};

PaintedWindow::PaintedWindow(int x, int y, int width, int height, Rgb colour)
    : native_(std::make_unique<Native>()), colour_(colour) {
    Display* d = native_->display = XOpenDisplay(nullptr);
    if (!d) throw std::runtime_error("no X display to open a window on ($DISPLAY)");
    const int screen = DefaultScreen(d);
    XColor c{};
    c.red = static_cast<unsigned short>(colour.r * 257);
    c.green = static_cast<unsigned short>(colour.g * 257);
    c.blue = static_cast<unsigned short>(colour.b * 257);
    XAllocColor(d, DefaultColormap(d, screen), &c);
    // Not managed: it shows exactly there, with no frame, whatever window manager runs.
    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = c.pixel;
    native_->window = XCreateWindow(d, RootWindow(d, screen), x, y, unsigned(width),
                                    unsigned(height), 0, CopyFromParent, InputOutput,
                                    CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
    XMapRaised(d, native_->window);
    XSync(d, False);
}

PaintedWindow::~PaintedWindow() {
    XDestroyWindow(native_->display, native_->window);
    XCloseDisplay(native_->display);
}

void PaintedWindow::pump() { XSync(native_->display, False); }
#endif

bool PaintedWindow::shown(const tav::platform::Region& region, double seconds) {
    tav::platform::ScreenGrab grab(region);
    std::vector<std::uint8_t> frame(std::size_t(region.width) * std::size_t(region.height) * 4);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        pump();
        if (grab.grab()) {
            grab.write(frame.data());
            bool all = true;
            for (std::size_t i = 0; all && i < frame.size(); i += 4)
                all =
                    frame[i] == colour_.b && frame[i + 1] == colour_.g && frame[i + 2] == colour_.r;
            if (all) return true;
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace native_test
