// The server's side of the end-to-end run (see stream_run.hpp).
#include "stream_run.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "handover.hpp"
#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/owned_blocks.hpp"
#include "painted_window.hpp"

namespace native_test {

namespace {

namespace ipc = tav::ipc;
using clock = std::chrono::steady_clock;

// A worker given this long to end after the stop is killed, as the server does.
constexpr double kJoinTimeout = 5;
// Longest wait for a worker to take a wake-up (a Windows worker starting under Wine included).
constexpr double kTakeTimeout = 30;
// The screen case's window and the region grabbed inside it.
constexpr int kWindowX = 20, kWindowY = 30, kWindowMargin = 20;

struct Options {
    int port = 0;
    std::string source;
    int frames = 0, width = 0, height = 0;
    double fps = 30, mbps = 2;
    std::vector<Rgb> colours;
};

Rgb colour_of(const std::string& hex) {
    if (hex.size() != 6) throw std::invalid_argument("a colour is RRGGBB, not " + hex);
    const unsigned long v = std::stoul(hex, nullptr, 16);
    return {std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

Options options_of(const std::vector<std::string>& args) {
    std::map<std::string, std::string> given;
    for (const std::string& a : args) {
        const size_t eq = a.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("not NAME=VALUE: " + a);
        given[a.substr(0, eq)] = a.substr(eq + 1);
    }
    auto take = [&](const char* name, const char* otherwise = nullptr) {
        auto at = given.find(name);
        if (at != given.end()) return at->second;
        if (!otherwise) throw std::invalid_argument(std::string("missing ") + name + "=");
        return std::string(otherwise);
    };
    Options o;
    o.port = std::stoi(take("port"));
    o.source = take("source");
    o.frames = std::stoi(take("frames"));
    o.width = std::stoi(take("width"));
    o.height = std::stoi(take("height"));
    o.fps = std::stod(take("fps", "30"));
    o.mbps = std::stod(take("mbps", "2"));
    const std::string colours = take("colours", "");
    for (size_t at = 0; at < colours.size(); at += 7)
        o.colours.push_back(colour_of(colours.substr(at, 6)));
    const size_t needed = o.source == "block" ? 2 : o.source == "screen" ? 1 : 0;
    if (o.source != "block" && o.source != "pattern" && o.source != "screen")
        throw std::invalid_argument("source= is block, pattern or screen");
    if (o.colours.size() != needed)
        throw std::invalid_argument("source=" + o.source + " takes " + std::to_string(needed) +
                                    " colours=");
    if (o.frames < 1 || o.width < 2 || o.height < 2)
        throw std::invalid_argument("frames, width and height must be positive");
    return o;
}

const char* format_of(const std::string& source) {
    return source == "block" ? "rgb" : source == "pattern" ? "rgba" : "bgra";
}

// The frames a feeding source writes, each `size` bytes.
std::vector<std::string> frames_of(const Options& o, size_t size) {
    std::vector<std::string> out;
    if (o.source == "block") {
        std::string f(size, '\0');
        const size_t half = size_t(o.height / 2) * size_t(o.width) * 3;
        for (size_t i = 0; i < size; i += 3) {
            const Rgb c = o.colours[i < half ? 0 : 1];
            f[i] = char(c.r), f[i + 1] = char(c.g), f[i + 2] = char(c.b);
        }
        out.push_back(std::move(f));
    } else if (o.source == "pattern") {
        // Diagonal bands that move a few pixels a frame over a fixed grain: motion and detail
        // for the encoder, the same every run. Made up front, so that writing one costs a copy.
        constexpr int kDistinct = 16;
        std::uint32_t seed = 12345;
        std::vector<std::uint8_t> grain(size_t(o.width) * size_t(o.height));
        for (std::uint8_t& g : grain)
            g = std::uint8_t((seed = seed * 1664525u + 1013904223u) >> 26);
        for (int n = 0; n < kDistinct; ++n) {
            std::string f(size, '\0');
            for (int y = 0; y < o.height; ++y)
                for (int x = 0; x < o.width; ++x) {
                    const size_t p = size_t(y) * size_t(o.width) + size_t(x);
                    const int band = (x + y + 6 * n) & 0xff;
                    f[p * 4] = char(band + grain[p]);
                    f[p * 4 + 1] = char((x * 255) / o.width);
                    f[p * 4 + 2] = char(255 - band);
                    f[p * 4 + 3] = char(255);
                }
            out.push_back(std::move(f));
        }
    }
    return out;
}

// What the server makes for a stream: the frame block with its lock, and the workers' events.
struct Stream {
    ipc::Shm block;
    std::string block_name;  // as workers attach it
    std::shared_ptr<ipc::Lock> socket_lock = std::make_shared<ipc::Lock>();
    std::shared_ptr<ipc::Lock> block_lock = std::make_shared<ipc::Lock>();
    std::shared_ptr<ipc::Event> new_frame = std::make_shared<ipc::Event>();
    std::shared_ptr<ipc::Event> keep_encoding = std::make_shared<ipc::Event>();
    std::shared_ptr<ipc::Event> keep_screenshot = std::make_shared<ipc::Event>();
    std::shared_ptr<ipc::Event> new_screenshot = std::make_shared<ipc::Event>();

    explicit Stream(size_t size) : block(ipc::create_owned(size)) {
        const std::string& n = block.name();
        block_name = !n.empty() && n[0] == '/' ? n.substr(1) : n;
    }
    // Under the block's lock, unless a worker that had to be killed died holding it.
    ~Stream() {
        const bool held = block_lock->acquire(true, kJoinTimeout);
        block.close();
        ipc::unlink_owned(block.name());
        if (held) block_lock->release();
    }
};

void add(std::vector<platform::Handle>& to, const std::vector<platform::Handle>& handles) {
    to.insert(to.end(), handles.begin(), handles.end());
}
void add_event(std::vector<std::string>& to, const ipc::Event& e, const platform::HandOver& h) {
    for (const std::string& d : e.share(&h)) to.push_back(d);
}

std::unique_ptr<Child> start_encoder(Stream& s, const Options& o, socket_handle link, size_t size) {
    std::vector<platform::Handle> handed = socket_handles(link);
    add(handed, s.socket_lock->handles());
    add(handed, s.block_lock->handles());
    add(handed, s.new_frame->handles());
    add(handed, s.keep_encoding->handles());
    s.keep_encoding->set();
    auto child = std::make_unique<Child>(handed);
    const platform::HandOver& to = child->hand_over();
    std::vector<std::string> f = {"encoder",
                                  std::to_string(o.width),
                                  std::to_string(o.height),
                                  format_of(o.source),
                                  std::to_string(o.fps),
                                  std::to_string(o.mbps),
                                  socket_share(link, to),
                                  s.block_name,
                                  number(size),
                                  s.socket_lock->share(&to),
                                  s.block_lock->share(&to)};
    add_event(f, *s.new_frame, to);
    add_event(f, *s.keep_encoding, to);
    if (!child->send(f)) throw std::runtime_error("the encoder worker did not take its arguments");
    return child;
}

std::unique_ptr<Child> start_screenshot(Stream& s, const tav::platform::Region& r) {
    std::vector<platform::Handle> handed = s.block_lock->handles();
    add(handed, s.new_frame->handles());
    add(handed, s.keep_screenshot->handles());
    add(handed, s.new_screenshot->handles());
    s.keep_screenshot->set();
    auto child = std::make_unique<Child>(handed);
    const platform::HandOver& to = child->hand_over();
    std::vector<std::string> f = {"screenshot",
                                  std::to_string(r.x),
                                  std::to_string(r.y),
                                  std::to_string(r.width),
                                  std::to_string(r.height),
                                  s.block_name,
                                  number(s.block.size()),
                                  s.block_lock->share(&to)};
    add_event(f, *s.new_frame, to);
    add_event(f, *s.keep_screenshot, to);
    add_event(f, *s.new_screenshot, to);
    if (!child->send(f))
        throw std::runtime_error("the screenshot worker did not take its arguments");
    return child;
}

// Waits until the worker took the wake-up `event` (it clears it when it wakes, before it reads the
// block); false when it did not within the time limit. Each wake-up taken is one frame encoded:
// the count is exact, though the next frame may reach the block before the worker reads it.
bool taken(ipc::Event& event, PaintedWindow* window) {
    const auto deadline = clock::now() + std::chrono::duration<double>(kTakeTimeout);
    while (event.is_set()) {
        if (clock::now() > deadline) return false;
        if (window) window->pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Stops a worker as the server does: clear its keep event, then wake it; kill it if it does not
// end in time. Its exit status, or -1 when it had to be killed.
int stop(Child& worker, ipc::Event& keep, ipc::Event& wake, const char* name) {
    keep.clear();
    wake.set();
    const int status = worker.wait(kJoinTimeout);
    const std::string output = worker.output();
    if (!output.empty()) std::printf("%s worker said: %s\n", name, output.c_str());
    return status;
}

void say(const char* format, auto... values) {
    std::printf(format, values...);
    std::fflush(stdout);
}

}  // namespace

int run_stream(const std::vector<std::string>& args) try {
    const Options o = options_of(args);
    const bool screen = o.source == "screen";
    const size_t size =
        size_t(o.width) * size_t(o.height) * (o.source == "block" ? size_t(3) : size_t(4));
    const std::vector<std::string> frames = frames_of(o, size);

    // The window first: the screenshots must show it from the first on.
    std::optional<PaintedWindow> window;
    const tav::platform::Region region{kWindowX + kWindowMargin, kWindowY + kWindowMargin, o.width,
                                       o.height};
    if (screen) {
        window.emplace(kWindowX, kWindowY, o.width + 2 * kWindowMargin,
                       o.height + 2 * kWindowMargin, o.colours[0]);
        if (!window->shown(region, 10)) {
            std::puts("stream: the painted window did not show on the screen");
            return 3;
        }
    }

    Stream s(size);
    const socket_handle link = connect_loopback(std::uint16_t(o.port));
    std::unique_ptr<Child> encoder = start_encoder(s, o, link, size);
    std::unique_ptr<Child> screenshooter;
    if (screen) screenshooter = start_screenshot(s, region);

    const auto start = clock::now();
    int fed = 0;
    for (; fed < o.frames; ++fed) {
        if (screen) {
            s.new_screenshot->set();
            if (!taken(*s.new_screenshot, &*window)) break;
            // The grab is written and signalled by the worker; the encoder takes it.
            std::this_thread::sleep_for(std::chrono::duration<double>(1 / o.fps));
        } else {
            {
                ipc::Held held(*s.block_lock);
                const std::string& f = frames[size_t(fed) % frames.size()];
                std::memcpy(s.block.data(), f.data(), f.size());
            }
            s.new_frame->set();
            if (!taken(*s.new_frame, nullptr)) break;
        }
    }
    int screenshot_status = 0;
    if (screenshooter) {
        screenshot_status =
            stop(*screenshooter, *s.keep_screenshot, *s.new_screenshot, "screenshot");
        taken(*s.new_frame, &*window);  // its last frame reaches the encoder
    }
    const int encoder_status = stop(*encoder, *s.keep_encoding, *s.new_frame, "encoder");
    const double seconds = std::chrono::duration<double>(clock::now() - start).count();
    close_socket(link);

    say("stream: %d of %d frames fed in %.3f s; encoder exit %d, screenshot exit %d\n", fed,
        o.frames, seconds, encoder_status, screenshot_status);
    const bool ended = platform::exited_with(encoder_status, 0) &&
                       (!screenshooter || platform::exited_with(screenshot_status, 0));
    return fed == o.frames && ended ? 0 : 1;
} catch (const std::exception& e) {
    say("stream: failed: %s\n", e.what());
    return 2;
}

}  // namespace native_test
