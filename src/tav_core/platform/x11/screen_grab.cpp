#include "platform/screen_grab.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/x11/bgra_pixels.hpp"

namespace tav::platform {

namespace {

// What the X error handlers saw. Xlib's own handlers end the process (exit(), which would run the
// host's exit handlers in a forked worker); these only record.
std::atomic<int> g_last_error{0};
std::atomic<bool> g_connection_lost{false};

int on_error(Display*, XErrorEvent* e) {
    g_last_error = e->error_code ? e->error_code : -1;
    return 0;
}

int on_io_error(Display*) {
    g_connection_lost = true;
    return 0;
}

// Returning from here instead of exiting leaves the display marked dead: later calls on it fail
// at once, and the grabber reports the loss.
void on_io_error_exit(Display*, void*) { g_connection_lost = true; }

// Installs the recording handlers for the grabber's life; the previous ones come back after it.
class ErrorHandlers {
  public:
    ErrorHandlers() : error_(XSetErrorHandler(on_error)), io_(XSetIOErrorHandler(on_io_error)) {
        g_last_error = 0;
        g_connection_lost = false;
    }
    ~ErrorHandlers() {
        XSetErrorHandler(error_);
        XSetIOErrorHandler(io_);
    }
    ErrorHandlers(const ErrorHandlers&) = delete;
    ErrorHandlers& operator=(const ErrorHandlers&) = delete;

  private:
    XErrorHandler error_;
    XIOErrorHandler io_;
};

struct CloseDisplay {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, CloseDisplay>;

struct DestroyImage {
    void operator()(XImage* image) const { XDestroyImage(image); }
};
using ImagePtr = std::unique_ptr<XImage, DestroyImage>;

// A System V segment that the X server writes grabs into.
class SysvSegment {
  public:
    explicit SysvSegment(size_t size) : id_(shmget(IPC_PRIVATE, size, IPC_CREAT | 0600)) {
        if (id_ < 0) throw std::system_error(errno, std::generic_category(), "shmget");
        void* p = shmat(id_, nullptr, 0);
        if (p == reinterpret_cast<void*>(-1)) {
            int err = errno;
            shmctl(id_, IPC_RMID, nullptr);
            throw std::system_error(err, std::generic_category(), "shmat");
        }
        addr_ = static_cast<char*>(p);
    }
    ~SysvSegment() {
        shmctl(id_, IPC_RMID, nullptr);
        shmdt(addr_);
    }
    SysvSegment(const SysvSegment&) = delete;
    SysvSegment& operator=(const SysvSegment&) = delete;

    // Once the X server has attached it, the segment needs no name: it goes with the last
    // detach, also when the worker is killed.
    void remove() const { shmctl(id_, IPC_RMID, nullptr); }
    int id() const { return id_; }
    char* addr() const { return addr_; }

  private:
    int id_;
    char* addr_ = nullptr;
};

// An image whose pixels live in a segment the X server attached (MIT-SHM).
class ShmImage {
  public:
    // Nothing when the server cannot attach the segment (a display on another machine).
    static std::unique_ptr<ShmImage> create(Display* d, Visual* visual, int depth, int width,
                                            int height) {
        std::unique_ptr<ShmImage> s(new ShmImage(d));
        s->image_.reset(
            XShmCreateImage(d, visual, depth, ZPixmap, nullptr, &s->info_, width, height));
        if (!s->image_) return nullptr;
        try {
            s->segment_ = std::make_unique<SysvSegment>(
                static_cast<size_t>(s->image_->bytes_per_line) * static_cast<size_t>(height));
        } catch (const std::system_error&) {
            return nullptr;  // no System V memory to be had (limits): grab over the connection
        }
        s->info_.shmid = s->segment_->id();
        s->info_.shmaddr = s->image_->data = s->segment_->addr();
        s->info_.readOnly = False;
        g_last_error = 0;
        if (!XShmAttach(d, &s->info_)) return nullptr;
        XSync(d, False);  // an attach refused arrives as an error, later
        if (g_last_error || g_connection_lost) return nullptr;
        s->attached_ = true;
        s->segment_->remove();
        return s;
    }

    ~ShmImage() {
        if (attached_ && !g_connection_lost) {
            XShmDetach(display_, &info_);
            XSync(display_, False);
        }
        if (image_) image_->data = nullptr;  // the segment's memory, not Xlib's to free
    }
    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    bool grab(Window root, int x, int y) {
        return XShmGetImage(display_, root, image_.get(), x, y, AllPlanes);
    }
    const XImage& image() const { return *image_; }

  private:
    explicit ShmImage(Display* d) : display_(d) {}
    Display* display_;
    XShmSegmentInfo info_{};  // Xlib keeps its address in the image
    std::unique_ptr<SysvSegment> segment_;
    ImagePtr image_;  // destroyed before the segment
    bool attached_ = false;
};

// The on-screen part of a region: screen position, size and where it sits in the frame.
struct Clip {
    int x = 0, y = 0, width = 0, height = 0, frame_x = 0, frame_y = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    bool operator==(const Clip&) const = default;
};

Clip clip_to_screen(const Region& r, long screen_width, long screen_height) {
    const long x0 = std::max<long>(r.x, 0), y0 = std::max<long>(r.y, 0);
    const long x1 = std::min<long>(static_cast<long>(r.x) + r.width, screen_width);
    const long y1 = std::min<long>(static_cast<long>(r.y) + r.height, screen_height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {static_cast<int>(x0),      static_cast<int>(y0),       static_cast<int>(x1 - x0),
            static_cast<int>(y1 - y0), static_cast<int>(x0 - r.x), static_cast<int>(y0 - r.y)};
}

PixelLayout layout_of(Display* d, Visual* visual, int depth) {
    if (visual->c_class != TrueColor && visual->c_class != DirectColor)
        throw std::runtime_error("unsupported screen: its colours come from a palette");
    PixelLayout l;
    int count = 0;
    XPixmapFormatValues* formats = XListPixmapFormats(d, &count);
    l.bits_per_pixel = 0;
    for (int i = 0; i < count; ++i)
        if (formats[i].depth == depth) l.bits_per_pixel = formats[i].bits_per_pixel;
    if (formats) XFree(formats);
    l.big_endian = ImageByteOrder(d) == MSBFirst;
    l.red_mask = static_cast<uint32_t>(visual->red_mask);
    l.green_mask = static_cast<uint32_t>(visual->green_mask);
    l.blue_mask = static_cast<uint32_t>(visual->blue_mask);
    check_layout(l);
    return l;
}

void check_connection() {
    if (g_connection_lost) throw std::runtime_error("the connection to the display was lost");
}

}  // namespace

struct ScreenGrab::Impl {
    ErrorHandlers handlers;  // first: they outlive every X call below
    DisplayPtr display;
    Window root = 0;
    Visual* visual = nullptr;
    int depth = 0;
    PixelLayout layout;
    Region region;
    Clip clip;
    bool shared_memory = false;
    std::unique_ptr<ShmImage> shm;
    ImagePtr plain;                // the last grab over the connection
    const XImage* last = nullptr;  // the image that holds the last grab
    bool margins_painted = false;  // the off-screen part of the frame is black

    explicit Impl(const Region& r) : display(XOpenDisplay(nullptr)), region(r) {
        if (!display) {
            const char* name = std::getenv("DISPLAY");
            throw DisplayUnavailable(std::string("cannot open the display '") + (name ? name : "") +
                                     "'");
        }
        Display* d = display.get();
        XSetIOErrorExitHandler(d, on_io_error_exit, nullptr);
        const int screen = DefaultScreen(d);
        root = RootWindow(d, screen);
        visual = DefaultVisual(d, screen);
        depth = DefaultDepth(d, screen);
        layout = layout_of(d, visual, depth);
        shared_memory = XShmQueryExtension(d);
        fit(DisplayWidth(d, screen), DisplayHeight(d, screen));
    }

    // Sets the on-screen part for a screen of that size; a new part needs a new image.
    void fit(long screen_width, long screen_height) {
        Clip c = clip_to_screen(region, screen_width, screen_height);
        if (c == clip) return;
        clip = c;
        margins_painted = false;
        last = nullptr;
        shm.reset();
        plain.reset();
        if (shared_memory && !clip.empty()) {
            shm = ShmImage::create(display.get(), visual, depth, clip.width, clip.height);
            check_connection();
            shared_memory = shm != nullptr;
        }
    }

    // The screen may have changed size since the start.
    void refit() {
        Window r;
        int x, y;
        unsigned int w, h, border, d;
        if (XGetGeometry(display.get(), root, &r, &x, &y, &w, &h, &border, &d)) fit(w, h);
        check_connection();
    }

    bool try_grab() {
        g_last_error = 0;
        last = nullptr;
        if (shm) {
            if (shm->grab(root, clip.x, clip.y) && !g_last_error) last = &shm->image();
        } else {
            plain.reset(XGetImage(display.get(), root, clip.x, clip.y, clip.width, clip.height,
                                  AllPlanes, ZPixmap));
            if (plain && !g_last_error) last = plain.get();
        }
        check_connection();
        return last != nullptr;
    }

    bool grab() {
        check_connection();
        if (clip.empty()) return true;  // nothing of the region is on the screen: black
        if (try_grab()) return true;
        refit();
        return clip.empty() || try_grab();
    }

    void write(uint8_t* frame) {
        const size_t width = static_cast<size_t>(region.width);
        const bool whole = clip.width == region.width && clip.height == region.height;
        if (!whole && !margins_painted) {
            fill_black(frame, width * static_cast<size_t>(region.height));
            margins_painted = true;
        }
        if (!last) return;
        // Never more than the grab holds, whatever the server delivered.
        const int rows = std::min(clip.height, last->height);
        const size_t cols = static_cast<size_t>(std::min(clip.width, last->width));
        for (int row = 0; row < rows; ++row) {
            const auto* src = reinterpret_cast<const uint8_t*>(last->data) +
                              static_cast<size_t>(row) * static_cast<size_t>(last->bytes_per_line);
            uint8_t* dst = frame + (static_cast<size_t>(clip.frame_y + row) * width +
                                    static_cast<size_t>(clip.frame_x)) *
                                       4;
            to_bgra(layout, src, dst, cols);
        }
    }
};

ScreenGrab::ScreenGrab(const Region& region) : impl_(std::make_unique<Impl>(region)) {}
ScreenGrab::~ScreenGrab() = default;
bool ScreenGrab::grab() { return impl_->grab(); }
void ScreenGrab::write(uint8_t* frame) { impl_->write(frame); }
bool ScreenGrab::uses_shared_memory() const { return impl_->shm != nullptr; }

}  // namespace tav::platform
