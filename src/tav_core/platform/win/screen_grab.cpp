// GDI: the screen's device context is copied (BitBlt) into a top-down 32-bit DIB section of the
// region's size, which holds B, G, R and a byte GDI leaves undefined, set to 255 after each grab.
// The region is clipped to the virtual screen (all monitors); the part beyond it stays opaque
// black, painted whenever the clip changes.
#include "platform/screen_grab.hpp"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace tav::platform {

struct ScreenGrab::Impl {
    Region region;
    HDC screen = nullptr, memory = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    uint8_t* pixels = nullptr;  // the DIB's rows, top first, width x 4 bytes each
    RECT clip{0, 0, 0, 0};      // the on-screen part, in screen coordinates

    ~Impl() {
        if (memory && previous) SelectObject(memory, previous);
        if (bitmap) DeleteObject(bitmap);
        if (memory) DeleteDC(memory);
        if (screen) ReleaseDC(nullptr, screen);
    }

    size_t row_bytes() const { return static_cast<size_t>(region.width) * 4; }

    // The region's part on the virtual screen as it is now; a change blackens the frame, so that
    // what was on the screen before and is no longer does not linger.
    void fit() {
        const RECT screen_rect{
            GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
            GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
            GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
        const RECT wanted{region.x, region.y, region.x + region.width, region.y + region.height};
        RECT c;
        if (!IntersectRect(&c, &screen_rect, &wanted)) c = RECT{0, 0, 0, 0};
        if (EqualRect(&c, &clip)) return;
        clip = c;
        blacken();
    }

    // Opaque black everywhere.
    void blacken() {
        const size_t size = row_bytes() * static_cast<size_t>(region.height);
        std::memset(pixels, 0, size);
        for (size_t i = 3; i < size; i += 4) pixels[i] = 255;
    }

    bool grab() {
        fit();
        if (IsRectEmpty(&clip)) return true;  // nothing of the region is on the screen: black
        const int w = clip.right - clip.left, h = clip.bottom - clip.top;
        const int dx = clip.left - region.x, dy = clip.top - region.y;
        if (!BitBlt(memory, dx, dy, w, h, screen, clip.left, clip.top, SRCCOPY | CAPTUREBLT))
            return false;  // a secure desktop, or a screen being changed: skip the frame
        GdiFlush();
        for (int row = dy; row < dy + h; ++row) {
            uint8_t* p = pixels + static_cast<size_t>(row) * row_bytes() + size_t(dx) * 4;
            for (int col = 0; col < w; ++col) p[col * 4 + 3] = 255;
        }
        return true;
    }
};

ScreenGrab::ScreenGrab(const Region& region) : impl_(std::make_unique<Impl>()) {
    Impl& g = *impl_;
    g.region = region;
    g.screen = GetDC(nullptr);
    if (!g.screen || GetSystemMetrics(SM_CXVIRTUALSCREEN) <= 0)
        throw DisplayUnavailable("no desktop to grab from (a service, or no interactive session)");
    g.memory = CreateCompatibleDC(g.screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = region.width;
    info.bmiHeader.biHeight = -region.height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    g.bitmap =
        g.memory ? CreateDIBSection(g.memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!g.bitmap) throw std::runtime_error("the screen grab's bitmap could not be made");
    g.pixels = static_cast<uint8_t*>(bits);
    g.previous = SelectObject(g.memory, g.bitmap);
    g.blacken();
}

ScreenGrab::~ScreenGrab() = default;

bool ScreenGrab::grab() { return impl_->grab(); }

void ScreenGrab::write(uint8_t* frame) {
    const Impl& g = *impl_;
    std::memcpy(frame, g.pixels, g.row_bytes() * static_cast<size_t>(g.region.height));
}

// The display driver writes each grab straight into this process's memory (the DIB section).
bool ScreenGrab::uses_shared_memory() const { return true; }

}  // namespace tav::platform
