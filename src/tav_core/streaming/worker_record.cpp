#include "streaming/worker_record.hpp"

#include <nanobind/stl/string.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "host/host_values.hpp"
#include "platform/socket.hpp"
#include "streaming/pixel_formats.hpp"

namespace tav::streaming {

namespace {

constexpr size_t kEncoderValues = 16;
constexpr size_t kScreenshotValues = 9;
constexpr long kMaxSide = 32767;    // the X protocol's limit for a rectangle
constexpr double kMaxOffset = 1e9;  // far beyond any screen, and safely an int
constexpr const char* kBlockTooSmall = "buffer_share: the block is smaller than a frame";

nb::bytes bytes(const std::string& s) { return nb::bytes(s.data(), s.size()); }

// Reads the values of one worker's tuple. Every error is a ValueError (std::invalid_argument)
// whose text starts with the worker's context, e.g. "Invalid encoder ".
class ValueReader {
  public:
    explicit ValueReader(const char* context) : context_(context) {}

    [[noreturn]] void invalid(const std::string& what) const {
        throw std::invalid_argument(context_ + what);
    }
    std::string bytes(nb::handle value, const char* what) const {
        if (!nb::isinstance<nb::bytes>(value)) invalid(std::string(what) + ": bytes expected");
        nb::bytes b = nb::borrow<nb::bytes>(value);
        return std::string(b.c_str(), b.size());
    }
    nb::tuple sequence(nb::handle value, size_t size, const char* what) const {
        nb::tuple items = nb::tuple(nb::borrow(value));
        if (items.size() != size)
            invalid(std::string(what) + ": " + std::to_string(size) + " items expected");
        return items;
    }
    std::shared_ptr<ipc::Lock> lock(nb::handle value, const char* what) const {
        return ipc::Lock::from_share(bytes(value, what));
    }
    std::shared_ptr<ipc::Event> event(nb::handle value, const char* what) const {
        nb::tuple d = sequence(value, 3, what);
        return ipc::Event::from_share({bytes(d[0], what), bytes(d[1], what), bytes(d[2], what)});
    }
    // The frame block's (name, size).
    void block(nb::handle value, std::string& name, size_t& size) const {
        nb::tuple buffer = sequence(value, 2, "buffer_share (name, size)");
        if (!nb::isinstance<nb::str>(buffer[0])) invalid("buffer_share: the name must be text");
        name = nb::cast<std::string>(buffer[0]);
        const long long n = nb::cast<long long>(buffer[1]);
        if (n < 0) invalid(kBlockTooSmall);
        size = static_cast<size_t>(n);
    }

  private:
    const char* context_;
};

const ValueReader kEncoder("Invalid encoder ");
const ValueReader kScreenshot("Invalid screenshot ");

nb::tuple tuple_of(nb::handle values, size_t count, const char* worker) {
    nb::tuple t = nb::tuple(nb::borrow(values));
    if (t.size() != count)
        throw std::invalid_argument(std::string("The ") + worker +
                                    " argument tuple must hold exactly " + std::to_string(count) +
                                    " values, not " + std::to_string(t.size()));
    return t;
}

std::string text(nb::handle value, const char* error) {
    if (!nb::isinstance<nb::str>(value)) throw std::invalid_argument(error);
    return nb::cast<std::string>(value);
}

uint8_t code(nb::handle value) {
    if (nb::isinstance<nb::bytes>(value)) {
        nb::bytes b = nb::borrow<nb::bytes>(value);
        if (b.size() == 1) return static_cast<uint8_t>(b.c_str()[0]);
    } else if (nb::isinstance<nb::int_>(value)) {
        long n = nb::cast<long>(value);
        if (n >= 0 && n <= 255) return static_cast<uint8_t>(n);
    }
    kEncoder.invalid("img_cmd: one byte expected");
}

// How the worker reaches its packet channel: its descriptor number there, or (Windows) the
// socket's duplication record for the worker.
nb::object channel_share(platform::Socket s, const platform::HandOver& to) {
    const platform::Handle handle = platform::socket_handle(s);
    if (handle != platform::kNoHandle) return nb::int_(to.pass(handle));
    const std::string record = platform::socket_record(s, to.child);
    if (record.empty())
        throw std::system_error(platform::socket_error(), std::system_category(),
                                "packet channel share");
    return bytes(record);
}

// The packet channel as the worker was handed it, of which a socket of this process is made.
platform::Socket channel_of(nb::handle share) {
    if (nb::isinstance<nb::bytes>(share)) {
        nb::bytes record = nb::borrow<nb::bytes>(share);
        platform::Socket s = platform::socket_from_record({record.c_str(), record.size()});
        if (s == platform::kNoSocket)
            throw std::system_error(platform::socket_error(), std::system_category(),
                                    "Invalid encoder socket_share");
        return s;
    }
    const int fd = nb::cast<int>(share);
    if (fd < 0) kEncoder.invalid("socket_share: no descriptor");
    return static_cast<platform::Socket>(fd);
}

nb::tuple event_share(const ipc::Event& event, const platform::HandOver& to) {
    auto d = event.share(&to);
    return nb::make_tuple(bytes(d[0]), bytes(d[1]), bytes(d[2]));
}

void add_handles(std::vector<platform::Handle>& out, const ipc::Lock& lock) {
    for (platform::Handle h : lock.handles()) out.push_back(h);
}
void add_handles(std::vector<platform::Handle>& out, const ipc::Event& event) {
    for (platform::Handle h : event.handles()) out.push_back(h);
}

// A screen coordinate; a fractional one (a scaled position) is rounded to the nearest pixel.
int coordinate(nb::handle value, const char* name) {
    const double v = host_values::to_double(value);
    if (!std::isfinite(v) || std::fabs(v) > kMaxOffset)
        kScreenshot.invalid(std::string("region: ") + name + " must be a finite screen coordinate");
    return static_cast<int>(std::lround(v));
}

int side(nb::handle value, const char* name) {
    const long v = nb::cast<long>(value);
    if (v < 1 || v > kMaxSide)
        kScreenshot.invalid(std::string("region: ") + name + " must be 1 to 32767 pixels");
    return static_cast<int>(v);
}

void check(const EncoderArgs& a);
void check(const ScreenshotArgs& a);

// The values are checked as soon as they are read, before any shared object is opened.
EncoderArgs decode_encoder(nb::handle values) {
    nb::tuple t = tuple_of(values, kEncoderValues, "encoder");
    EncoderArgs a;
    EncoderSettings& e = a.encoder;
    e.input_width = nb::cast<int>(t[0]);
    e.input_height = nb::cast<int>(t[1]);
    e.input_format =
        text(t[2], "Invalid encoding input_format. Supported values: 'rgb', 'bgr', 'rgba', 'bgra'");
    e.output_width = nb::cast<double>(t[3]);
    e.output_height = nb::cast<double>(t[4]);
    a.output_format = text(t[5], "Invalid encoding output_format. Supported values: 'yuv420p'");
    if (a.output_format != "yuv420p")
        throw std::invalid_argument("Invalid encoding output_format. Supported values: 'yuv420p'");
    e.framerate = nb::cast<double>(t[6]);
    e.bitrate_mbps = nb::cast<double>(t[7]);
    e.vflip = host_values::truthy(t[8]);
    a.img_cmd = code(t[9]);
    kEncoder.block(t[10], a.shm_name, a.shm_size);
    check(a);
    a.packet_channel = channel_of(t[11]);
    a.channel_lock = kEncoder.lock(t[12], "sock_lock_share");
    a.shm_lock = kEncoder.lock(t[13], "shm_lock_share");
    a.new_frame_event = kEncoder.event(t[14], "new_fr_ev_share");
    a.keep_encoding_event = kEncoder.event(t[15], "keep_enc_ev_share");
    return a;
}

ScreenshotArgs decode_screenshot(nb::handle values) {
    nb::tuple t = tuple_of(values, kScreenshotValues, "screenshot");
    ScreenshotArgs a;
    a.region = screenshot_region(t[0], t[1], t[2], t[3]);
    kScreenshot.block(t[4], a.shm_name, a.shm_size);
    check(a);
    a.shm_lock = kScreenshot.lock(t[5], "shm_lock_share");
    a.new_frame_event = kScreenshot.event(t[6], "new_fr_ev_share");
    a.keep_screenshot_event = kScreenshot.event(t[7], "keep_ss_ev_share");
    a.new_screenshot_event = kScreenshot.event(t[8], "new_ss_ev_share");
    return a;
}

size_t frame_size(const EncoderSettings& e) {
    return static_cast<size_t>(e.input_width) * static_cast<size_t>(e.input_height) *
           static_cast<size_t>(bytes_per_pixel(e.input_format));
}

void check(const EncoderArgs& a) {
    check_settings(a.encoder);
    if (a.shm_size < frame_size(a.encoder)) kEncoder.invalid(kBlockTooSmall);
}

void check(const ScreenshotArgs& a) {
    if (a.shm_size < region_frame_size(a.region)) kScreenshot.invalid(kBlockTooSmall);
}

}  // namespace

const char* WorkerRecord::entry() const {
    return std::holds_alternative<EncoderArgs>(args) ? "_ep" : "_sp";
}

std::vector<platform::Handle> WorkerRecord::handles() const {
    std::vector<platform::Handle> out;
    if (const auto* a = std::get_if<EncoderArgs>(&args)) {
        out.push_back(platform::socket_handle(a->packet_channel));
        add_handles(out, *a->channel_lock);
        add_handles(out, *a->shm_lock);
        add_handles(out, *a->new_frame_event);
        add_handles(out, *a->keep_encoding_event);
    } else {
        const auto& s = std::get<ScreenshotArgs>(args);
        add_handles(out, *s.shm_lock);
        add_handles(out, *s.new_frame_event);
        add_handles(out, *s.keep_screenshot_event);
        add_handles(out, *s.new_screenshot_event);
    }
    std::erase(out, platform::kNoHandle);
    return out;
}

void WorkerRecord::check() const {
    std::visit([](const auto& a) { streaming::check(a); }, args);
}

int WorkerRecord::run() const {
    if (const auto* a = std::get_if<EncoderArgs>(&args)) return run_encoder(*a);
    return run_screenshot(std::get<ScreenshotArgs>(args));
}

Region screenshot_region(nb::handle x, nb::handle y, nb::handle width, nb::handle height) {
    return {coordinate(x, "x"), coordinate(y, "y"), side(width, "width"), side(height, "height")};
}

nb::tuple encode_record(const WorkerRecord& record, const platform::HandOver& to) {
    if (const auto* a = std::get_if<EncoderArgs>(&record.args)) {
        const EncoderSettings& e = a->encoder;
        nb::object channel = channel_share(a->packet_channel, to);
        nb::bytes channel_lock = bytes(a->channel_lock->share(&to));
        nb::bytes shm_lock = bytes(a->shm_lock->share(&to));
        nb::tuple new_frame = event_share(*a->new_frame_event, to);
        nb::tuple keep = event_share(*a->keep_encoding_event, to);
        return nb::make_tuple(e.input_width, e.input_height, e.input_format, e.output_width,
                              e.output_height, a->output_format, e.framerate, e.bitrate_mbps,
                              e.vflip, a->img_cmd, nb::make_tuple(a->shm_name, a->shm_size),
                              channel, channel_lock, shm_lock, new_frame, keep);
    }
    const auto& s = std::get<ScreenshotArgs>(record.args);
    const Region& r = s.region;
    nb::bytes shm_lock = bytes(s.shm_lock->share(&to));
    nb::tuple new_frame = event_share(*s.new_frame_event, to);
    nb::tuple keep = event_share(*s.keep_screenshot_event, to);
    nb::tuple wake = event_share(*s.new_screenshot_event, to);
    return nb::make_tuple(r.x, r.y, r.width, r.height, nb::make_tuple(s.shm_name, s.shm_size),
                          shm_lock, new_frame, keep, wake);
}

WorkerRecord decode_record(std::string_view entry, nb::handle tuple) {
    WorkerRecord record;
    if (entry == "_ep")
        record.args = decode_encoder(tuple);
    else
        record.args = decode_screenshot(tuple);
    std::visit([](auto& a) { a.parent_pid = platform::current_process(); }, record.args);
    return record;
}

}  // namespace tav::streaming
