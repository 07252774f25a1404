// The app connection: its socket, its outgoing queue and every write to it. A writer hands a
// whole message over and returns at once; the connection's own thread puts the messages on the
// wire (a reply with nothing ahead of it goes straight in as far as the socket takes it), each
// whole, replies ahead of queued video, and carries the encoder worker's video packet
// messages over from the worker's packet channel. It knows how much the app has not yet received:
// that decides whether a new frame may be made (admission) and the encoder's target bit rate, and
// when a frame request that admission refused may be served after all. Its threads and what its
// mutex guards: docs/threads.md.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/socket_io.hpp"
#include "platform/wake_up.hpp"

namespace tav::net {

// Replies waiting beyond this are an app that stopped reading long ago: the connection ends.
inline constexpr size_t kMaxQueuedReplyBytes = 32u << 20;
// Undelivered bytes within which a new frame may be made, at the least; otherwise one frame at
// the encoder's current target. It covers a segment whose acknowledgement the receiver delays;
// more is latency on a slow link (4 kB was three frames, 110 ms, at 300 kbit/s).
inline constexpr size_t kMinFrameBudget = 2048;

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    // Takes the accepted socket and starts the writer thread.
    static std::shared_ptr<Connection> open(Socket socket);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // For reads; valid while the caller holds the connection.
    platform::Socket socket() const { return socket_.get(); }

    // Hands one whole message over and returns at once, never waiting for the network (with
    // nothing ahead of it, what the socket takes at once is written right here); dropped once
    // the connection has ended.
    void send(std::string message);

    // A new packet channel for an encoder worker streaming at `asked_bps` and `fps`; returns the
    // worker's end. An earlier channel is closed, so a worker still writing to it ends at once;
    // a message it had only partly written is dropped.
    Socket open_video_channel(double asked_bps, double fps);
    void close_video_channel();

    // True when a new frame may be made now. A refusal counts as congestion for the bit rate.
    // A refused request that the app waits on (`defer`) is kept, at most one (later ones join
    // it), until the backlog is back within the budget: deferred_frame() then is set
    // and take_deferred_frame() hands it out once. A frame admitted meanwhile answers it.
    bool admit_frame(bool defer = false);
    const platform::WakeUp& deferred_frame() const { return deferred_ready_; }
    bool take_deferred_frame();
    // Forgets a kept request: its stream stopped.
    void drop_deferred_frame();
    // Bytes queued here or in the socket that the app has not yet acknowledged.
    size_t backlog() const;

    // Ends the connection: blocked reads return, queued messages are dropped.
    void shutdown();
    // shutdown(), then waits (briefly: it never blocks) for the writer thread to end.
    void close();

  private:
    struct Writer;  // the writer thread's own state
    struct Turn;    // what one turn of the writer found to do
    using TimePoint = std::chrono::steady_clock::time_point;
    explicit Connection(Socket socket);
    enum class Deferred { none, waiting, due };

    // The writer thread: turns of the steps below until the connection ends.
    void run();
    std::optional<Turn> next_turn(Writer& w);  // takes a new channel and the next message
    void take_channel(Writer& w);              // holding `mutex_`
    bool wait(Writer& w, Turn& t);             // for the socket, the channel, a wake-up or a tick
    bool write_some(Writer& w, const Turn& t);
    void read_channel(Writer& w, const Turn& t);  // whole video packet messages into `video_`
    void rate_tick(Writer& w, TimePoint now);     // measures the link, retargets the encoder
    void limit_queue(Writer& w, double bps);
    void wake();
    void lose();
    bool within_budget() const;
    void set_deferred(Deferred state);  // holding `mutex_`

    Socket socket_;
    platform::WakeUp wake_;            // new messages, a channel change, the end, a deferral
    platform::WakeUp deferred_ready_;  // set while a deferred frame request is due

    mutable std::mutex mutex_;
    std::condition_variable writer_ended_;
    std::deque<std::string> replies_, video_;
    size_t reply_bytes_ = 0, video_bytes_ = 0;
    std::optional<Socket> channel_change_;  // an empty socket closes the channel
    double asked_bps_ = 0, start_bps_ = 0, fps_ = 0;
    bool ended_ = false, writer_done_ = false;
    Deferred deferred_ = Deferred::none;

    std::atomic<size_t> in_flight_{0};         // the unwritten rest of the message being written
    std::atomic<uint64_t> direct_written_{0};  // reply bytes send() put into the socket itself
    std::atomic<size_t> frame_budget_{kMinFrameBudget};
    std::atomic<bool> refused_{false};
    std::atomic<double> shown_bps_{0};  // the last target of the last channel: the link carried it
};

}  // namespace tav::net
