#include "net/connection.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "net/rate_controller.hpp"
#include "net/wire.hpp"
#include "platform/tcp_link.hpp"
#include "platform/thread_identity.hpp"

namespace tav::net {

namespace {

using Clock = std::chrono::steady_clock;

// Beyond this a packet is no VP9 frame of a viewport: the channel is broken.
constexpr uint32_t kMaxPacket = 64u << 20;
// Video waiting here beyond this stops the reading of the channel, which holds the worker back.
constexpr size_t kMaxQueuedVideo = 8u << 20;
// How often delivery is measured for the bit rate while video flows.
constexpr auto kTick = std::chrono::milliseconds(50);
// How often the backlog is looked at while a deferred frame request waits. The budget counts
// bytes the app has not acknowledged, most of them on their way on a slow link, and the kernel
// raises no event as acknowledgements shrink them (TCP_NOTSENT_LOWAT's POLLOUT tells only of the
// unsent part), so the writer looks, but only while a request waits.
constexpr auto kDeferredCheck = std::chrono::milliseconds(5);
// The least the kernel may hold unsent: below a few segments the writer would wake for each.
constexpr size_t kMinUnsent = 2048;

double seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// A failure that only says "not now".
bool retry(int err) { return platform::would_block(err) || platform::interrupted(err); }

// One frame's bytes at `bps` and `fps`.
size_t budget(double bps, double fps) {
    return std::max(kMinFrameBudget, static_cast<size_t>(bps / 8 / fps));
}

// Tells the encoder worker its new target; it takes the newest before its next frame. A full
// channel means the worker is behind: it will get the next change.
void send_target(const Socket& channel, double bps) {
    const std::string msg = wire::BitrateMessage{static_cast<uint32_t>(bps)}.bytes();
    platform::send_now(channel.get(), msg.data(), msg.size());
}

}  // namespace

struct Connection::Writer {
    std::string current;  // the message on its way to the socket
    size_t offset = 0;
    uint64_t written = 0;  // bytes this thread handed to the socket in all
    Clock::time_point last_progress = Clock::now();
    Socket channel;     // the encoder worker's packet channel
    std::string inbox;  // bytes read from it that make no whole message yet
    std::optional<RateController> rate;
    double fps = 0;
    Clock::time_point next_tick;
    bool video_since_tick = false;

    bool writing() const { return offset < current.size(); }
};

// What one turn of the writer found to do.
struct Connection::Turn {
    bool read_channel = false;    // the channel may be read: video waiting here is within bounds
    bool deferred_waits = false;  // a refused frame request waits for the backlog to shrink
    bool writing = false;
    Clock::time_point now;
    bool woken = false;  // the wake-up was set
    bool ready[2] = {};  // the socket, the channel
};

std::shared_ptr<Connection> Connection::open(Socket socket) {
    std::shared_ptr<Connection> c(new Connection(std::move(socket)));
    std::thread([c] {
        platform::name_this_thread("tavrel-writer");
        c->run();
    }).detach();
    return c;
}

Connection::Connection(Socket socket) : socket_(std::move(socket)) {}

Connection::~Connection() = default;

void Connection::wake() { wake_.set(); }

void Connection::send(std::string message) {
    if (message.empty()) return;
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        // With nothing ahead of it on the way, a reply goes straight into the socket as far as
        // the socket takes it at once: a hand-over to the writer thread would cost a thread
        // wake-up on every round trip. The rest, if any, is the writer's next message.
        if (replies_.empty() && in_flight_ == 0) {
            std::ptrdiff_t n = platform::send_now(socket_.get(), message.data(), message.size());
            if (n > 0) {
                direct_written_ += static_cast<uint64_t>(n);
                if (static_cast<size_t>(n) == message.size()) return;
                message.erase(0, static_cast<size_t>(n));
            }
        }
        reply_bytes_ += message.size();
        replies_.push_back(std::move(message));
        if (reply_bytes_ > kMaxQueuedReplyBytes) {
            replies_.clear();
            reply_bytes_ = 0;
            ended_ = true;
            platform::shutdown_socket(socket_.get());
        }
    }
    wake();
}

Socket Connection::open_video_channel(double asked_bps, double fps) {
    platform::Socket ends[2];
    if (int err = platform::socket_pair(ends))
        throw std::system_error(err, std::generic_category(), "packet channel");
    Socket mine(ends[0]), theirs(ends[1]);
    // The stream starts at the controller's first target, not at the rate asked: a restarted
    // encoder at the rate the link carried last.
    const double start = RateController::start_target(asked_bps, shown_bps_);
    send_target(mine, start);
    {
        std::lock_guard lock(mutex_);
        // A connection that ended drops the channel at once: the worker's first write fails.
        if (!ended_) channel_change_ = std::move(mine);
        asked_bps_ = asked_bps;
        start_bps_ = start;
        fps_ = fps;
    }
    frame_budget_ = budget(start, fps);
    wake();
    return theirs;
}

void Connection::close_video_channel() {
    {
        std::lock_guard lock(mutex_);
        channel_change_ = Socket();
    }
    wake();
}

size_t Connection::backlog() const {
    size_t queued;
    {
        std::lock_guard lock(mutex_);
        queued = reply_bytes_ + video_bytes_;
    }
    return queued + in_flight_ + platform::tcp_unacknowledged(socket_.get());
}

bool Connection::within_budget() const { return backlog() <= frame_budget_; }

void Connection::set_deferred(Deferred state) {
    if (state == Deferred::due)
        deferred_ready_.set();
    else if (deferred_ == Deferred::due)
        deferred_ready_.clear();
    deferred_ = state;
}

bool Connection::admit_frame(bool defer) {
    const bool admitted = within_budget();
    bool waits = false;
    {
        std::lock_guard lock(mutex_);
        if (admitted) {
            set_deferred(Deferred::none);  // the frame made now is the one it waited for
        } else if (defer && !ended_ && deferred_ == Deferred::none) {
            set_deferred(Deferred::waiting);
            waits = true;
        }
    }
    if (!admitted) refused_ = true;
    if (waits) wake();  // the writer starts watching the backlog
    return admitted;
}

bool Connection::take_deferred_frame() {
    std::lock_guard lock(mutex_);
    if (deferred_ != Deferred::due) return false;
    set_deferred(Deferred::none);
    return true;
}

void Connection::drop_deferred_frame() {
    std::lock_guard lock(mutex_);
    set_deferred(Deferred::none);
}

void Connection::shutdown() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        set_deferred(Deferred::none);
        replies_.clear();
        video_.clear();
        reply_bytes_ = video_bytes_ = 0;
    }
    platform::shutdown_socket(socket_.get());
    wake();
}

void Connection::close() {
    shutdown();
    std::unique_lock lock(mutex_);
    writer_ended_.wait_for(lock, std::chrono::seconds(1), [&] { return writer_done_; });
}

// A connection that makes no progress is lost: the network thread's read ends and with it the
// session.
void Connection::lose() { shutdown(); }

void Connection::run() {
    Writer w;
    for (;;) {
        std::optional<Turn> turn = next_turn(w);
        if (!turn || !wait(w, *turn) || !write_some(w, *turn)) break;
        read_channel(w, *turn);
        rate_tick(w, turn->now);
    }
    std::lock_guard lock(mutex_);
    writer_done_ = true;
    writer_ended_.notify_all();
}

std::optional<Connection::Turn> Connection::next_turn(Writer& w) {
    Turn t;
    {
        std::lock_guard lock(mutex_);
        if (ended_) return std::nullopt;
        if (channel_change_) take_channel(w);
        // Replies go ahead of queued video; a message once begun is finished first.
        if (!w.writing()) {
            std::deque<std::string>& from = !replies_.empty() ? replies_ : video_;
            w.current.clear();
            w.offset = 0;
            if (!from.empty()) {
                w.current = std::move(from.front());
                from.pop_front();
                (&from == &replies_ ? reply_bytes_ : video_bytes_) -= w.current.size();
            }
        }
        in_flight_ = w.current.size() - w.offset;
        t.read_channel = w.channel && video_bytes_ < kMaxQueuedVideo;
        t.deferred_waits = deferred_ == Deferred::waiting;
    }
    // A deferred frame request is due once the backlog is back within the budget.
    if (t.deferred_waits && within_budget()) {
        std::lock_guard lock(mutex_);
        if (deferred_ == Deferred::waiting) set_deferred(Deferred::due);
        t.deferred_waits = false;
    }
    t.writing = w.writing();
    t.now = Clock::now();
    if (!t.writing) w.last_progress = t.now;  // the stall clock runs while something waits
    return t;
}

// Holding `mutex_`: a new channel replaces the old one, with a controller of its own.
void Connection::take_channel(Writer& w) {
    w.channel = std::move(*channel_change_);
    channel_change_.reset();
    w.inbox.clear();
    w.rate.reset();
    if (w.channel) {
        w.rate.emplace(asked_bps_, fps_, start_bps_);
        w.fps = fps_;
        w.next_tick = Clock::now();
        limit_queue(w, w.rate->target());
    }
}

bool Connection::wait(Writer& w, Turn& t) {
    int timeout = -1;
    auto until = [&](Clock::time_point at) {
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - t.now).count();
        ms = std::max<decltype(ms)>(ms, 0);
        timeout = timeout < 0 ? static_cast<int>(ms) : std::min(timeout, static_cast<int>(ms));
    };
    if (t.writing)
        until(w.last_progress + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(kSendStallSeconds)));
    // Delivery is measured while video flows or waits; an idle stream needs no clock.
    if (w.rate && (w.video_since_tick || backlog() > 0)) until(w.next_tick);
    if (t.deferred_waits) until(t.now + kDeferredCheck);

    platform::SocketWait sockets[2] = {
        {t.writing ? socket_.get() : platform::kNoSocket, true},
        {t.read_channel ? w.channel.get() : platform::kNoSocket, false}};
    if (platform::wait_sockets(sockets, &wake_, timeout, &t.woken) < 0 &&
        !platform::interrupted(platform::socket_error()))
        return false;
    t.now = Clock::now();
    for (int i = 0; i < 2; ++i) t.ready[i] = sockets[i].ready;
    if (t.woken) wake_.clear();
    return true;
}

bool Connection::write_some(Writer& w, const Turn& t) {
    if (!t.writing) return true;
    if (t.ready[0]) {
        std::ptrdiff_t n = platform::send_now(socket_.get(), w.current.data() + w.offset,
                                              w.current.size() - w.offset);
        if (n > 0) {
            w.offset += static_cast<size_t>(n);
            w.written += static_cast<uint64_t>(n);
            w.last_progress = t.now;
            in_flight_ = w.current.size() - w.offset;
        } else if (n < 0 && !retry(platform::socket_error())) {
            lose();
            return false;
        }
    }
    if (t.now - w.last_progress >= std::chrono::duration<double>(kSendStallSeconds)) {
        lose();  // a connection that makes no progress is lost
        return false;
    }
    return true;
}

void Connection::read_channel(Writer& w, const Turn& t) {
    if (!t.read_channel || !t.ready[1]) return;
    char buf[65536];
    std::ptrdiff_t n = platform::receive_now(w.channel.get(), buf, sizeof buf);
    if (n > 0) {
        w.inbox.append(buf, static_cast<size_t>(n));
        std::lock_guard lock(mutex_);
        while (w.inbox.size() >= wire::PacketHeader::kSize) {
            const size_t size = wire::PacketHeader::read(w.inbox).size;
            if (size > kMaxPacket) {
                w.channel.close();
                break;
            }
            const size_t whole = wire::PacketHeader::kSize + size;
            if (w.inbox.size() < whole) break;
            video_.push_back(w.inbox.substr(0, whole));
            video_bytes_ += whole;
            w.inbox.erase(0, whole);
            w.video_since_tick = true;
        }
    } else if (n == 0 || !retry(platform::socket_error())) {
        w.channel.close();  // the worker ended; a message it left unfinished is dropped
    }
    if (!w.channel) {
        w.inbox.clear();
        w.rate.reset();
    }
}

void Connection::rate_tick(Writer& w, Clock::time_point now) {
    if (!w.rate || now < w.next_tick) return;
    const platform::TcpLinkInfo link = platform::tcp_link_info(socket_.get());
    LinkSample s;
    s.now = seconds(now);
    // Where the kernel does not count acknowledgements, what the socket took counts.
    s.delivered = link.acked_known ? link.acked : w.written + direct_written_ - link.unacked;
    s.backlog = backlog();
    if (link.acked_known) s.held = s.backlog - std::min(s.backlog, link.unacked);
    s.min_rtt = link.min_rtt;
    s.refused = refused_.exchange(false);
    if (auto changed = w.rate->step(s)) {
        send_target(w.channel, *changed);
        limit_queue(w, *changed);
    }
    w.next_tick = now + kTick;
    w.video_since_tick = false;
}

// New frames wait while more than one frame at `bps` is undelivered; the kernel keeps at most one
// frame unsent, so that a reply overtakes video that has not reached it. (Less makes the writer
// wake several times a frame, which a busy machine turns into latency.)
void Connection::limit_queue(Writer& w, double bps) {
    shown_bps_ = bps;
    const size_t frame = budget(bps, w.fps);
    frame_budget_ = frame;
    platform::tcp_limit_unsent(socket_.get(), std::max(kMinUnsent, frame));
}

}  // namespace tav::net
