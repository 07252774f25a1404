#include "protocol/connection.hpp"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "streaming/rate_adapter.hpp"

namespace tav::net {

namespace {

using Clock = std::chrono::steady_clock;

// A video packet message: code, uint32 LE size, packet.
constexpr size_t kHeader = 5;
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

double seconds(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

size_t unacknowledged(int fd) {
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
}

// One frame's bytes at `bps` and `fps`.
size_t budget(double bps, double fps) {
    return std::max(kMinFrameBudget, static_cast<size_t>(bps / 8 / fps));
}

Socket new_eventfd() {
    Socket s(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!s) throw std::system_error(errno, std::generic_category(), "eventfd");
    return s;
}

void clear_eventfd(const Socket& s) {
    uint64_t n;
    [[maybe_unused]] ssize_t r = ::read(s.fd(), &n, sizeof n);
}

void set_eventfd(const Socket& s) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(s.fd(), &one, sizeof one);
}

uint32_t packet_size(const std::string& inbox) {
    uint32_t n = 0;
    for (int i = 4; i >= 1; --i) n = (n << 8) | static_cast<uint8_t>(inbox[i]);
    return n;
}

}  // namespace

struct Connection::Writer {
    std::string current;  // the message on its way to the socket
    size_t offset = 0;
    uint64_t written = 0;  // bytes this thread handed to the socket in all
    Clock::time_point last_progress = Clock::now();
    Socket channel;     // the encoder worker's packet channel
    std::string inbox;  // bytes read from it that make no whole message yet
    std::optional<streaming::RateAdapter> rate;
    double fps = 0;
    Clock::time_point next_tick;
    bool video_since_tick = false;
};

std::shared_ptr<Connection> Connection::open(Socket socket) {
    std::shared_ptr<Connection> c(new Connection(std::move(socket)));
    std::thread([c] {
        pthread_setname_np(pthread_self(), "tavrel-writer");
        c->run();
    }).detach();
    return c;
}

Connection::Connection(Socket socket)
    : socket_(std::move(socket)), wake_(new_eventfd()), deferred_ready_(new_eventfd()) {}

Connection::~Connection() = default;

void Connection::wake() { set_eventfd(wake_); }

void Connection::send(std::string message) {
    if (message.empty()) return;
    {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        // With nothing ahead of it on the way, a reply goes straight into the socket as far as
        // the socket takes it at once: a hand-over to the writer thread would cost a thread
        // wake-up on every round trip. The rest, if any, is the writer's next message.
        if (replies_.empty() && in_flight_ == 0) {
            ssize_t n =
                ::send(socket_.fd(), message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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
            ::shutdown(socket_.fd(), SHUT_RDWR);
        }
    }
    wake();
}

Socket Connection::open_video_channel(double asked_bps, double fps) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw std::system_error(errno, std::generic_category(), "packet channel");
    Socket mine(ends[0]), theirs(ends[1]);
    {
        std::lock_guard lock(mutex_);
        // A connection that ended drops the channel at once: the worker's first write fails.
        if (!ended_) channel_change_ = std::move(mine);
        asked_bps_ = asked_bps;
        fps_ = fps;
    }
    frame_budget_ = budget(asked_bps, fps);
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
    return queued + in_flight_ + unacknowledged(socket_.fd());
}

bool Connection::within_budget() const { return backlog() <= frame_budget_; }

void Connection::set_deferred(Deferred state) {
    if (state == Deferred::due)
        set_eventfd(deferred_ready_);
    else if (deferred_ == Deferred::due)
        clear_eventfd(deferred_ready_);
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
    ::shutdown(socket_.fd(), SHUT_RDWR);
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
    const int fd = socket_.fd();
    for (;;) {
        bool read_channel, deferred_waits;
        {
            std::lock_guard lock(mutex_);
            if (ended_) break;
            if (channel_change_) {
                w.channel = std::move(*channel_change_);
                channel_change_.reset();
                w.inbox.clear();
                w.rate.reset();
                if (w.channel) {
                    w.rate.emplace(asked_bps_);
                    w.fps = fps_;
                    w.next_tick = Clock::now();
                }
            }
            // Replies go ahead of queued video; a message once begun is finished first.
            if (w.offset == w.current.size()) {
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
            read_channel = w.channel && video_bytes_ < kMaxQueuedVideo;
            deferred_waits = deferred_ == Deferred::waiting;
        }
        // A deferred frame request is due once the backlog is back within the budget.
        if (deferred_waits && within_budget()) {
            std::lock_guard lock(mutex_);
            if (deferred_ == Deferred::waiting) set_deferred(Deferred::due);
            deferred_waits = false;
        }
        const bool writing = w.offset < w.current.size();
        auto now = Clock::now();
        if (!writing) w.last_progress = now;  // the stall clock runs while something waits

        int timeout = -1;
        auto until = [&](Clock::time_point t) {
            auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
            ms = std::max<decltype(ms)>(ms, 0);
            timeout = timeout < 0 ? static_cast<int>(ms) : std::min(timeout, static_cast<int>(ms));
        };
        if (writing)
            until(w.last_progress + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(kSendStallSeconds)));
        // Delivery is measured while video flows or waits; an idle stream needs no clock.
        if (w.rate && (w.video_since_tick || backlog() > 0)) until(w.next_tick);
        if (deferred_waits) until(now + kDeferredCheck);

        pollfd p[3] = {{wake_.fd(), POLLIN, 0},
                       {writing ? fd : -1, POLLOUT, 0},
                       {read_channel ? w.channel.fd() : -1, POLLIN, 0}};
        if (::poll(p, 3, timeout) < 0 && errno != EINTR) break;
        now = Clock::now();
        if (p[0].revents) clear_eventfd(wake_);

        if (writing && p[1].revents) {
            ssize_t n = ::send(fd, w.current.data() + w.offset, w.current.size() - w.offset,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                w.offset += static_cast<size_t>(n);
                w.written += static_cast<uint64_t>(n);
                w.last_progress = now;
                in_flight_ = w.current.size() - w.offset;
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                lose();
                break;
            }
        }
        if (writing && now - w.last_progress >= std::chrono::duration<double>(kSendStallSeconds)) {
            lose();
            break;
        }

        if (read_channel && p[2].revents) {
            char buf[65536];
            ssize_t n = ::recv(w.channel.fd(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                w.inbox.append(buf, static_cast<size_t>(n));
                std::lock_guard lock(mutex_);
                while (w.inbox.size() >= kHeader) {
                    const uint32_t size = packet_size(w.inbox);
                    if (size > kMaxPacket) {
                        w.channel.close();
                        break;
                    }
                    if (w.inbox.size() < kHeader + size) break;
                    video_.push_back(w.inbox.substr(0, kHeader + size));
                    video_bytes_ += kHeader + size;
                    w.inbox.erase(0, kHeader + size);
                    w.video_since_tick = true;
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                w.channel.close();  // the worker ended; a message it left unfinished is dropped
            }
            if (!w.channel) {
                w.inbox.clear();
                w.rate.reset();
            }
        }

        if (w.rate && now >= w.next_tick) {
            const size_t outq = unacknowledged(fd);
            const size_t waiting = backlog();
            auto changed = w.rate->observe(seconds(now), w.written + direct_written_ - outq,
                                           waiting, refused_.exchange(false));
            if (changed) {
                const uint32_t bps = static_cast<uint32_t>(*changed);
                char msg[4] = {static_cast<char>(bps), static_cast<char>(bps >> 8),
                               static_cast<char>(bps >> 16), static_cast<char>(bps >> 24)};
                // The worker takes the newest target before its next frame; a full channel
                // means it is behind and will get the next change.
                ::send(w.channel.fd(), msg, sizeof msg, MSG_NOSIGNAL | MSG_DONTWAIT);
                frame_budget_ = budget(*changed, w.fps);
            }
            w.next_tick = now + kTick;
            w.video_since_tick = false;
        }
    }
    std::lock_guard lock(mutex_);
    writer_done_ = true;
    writer_ended_.notify_all();
}

}  // namespace tav::net
