// Whether the host serves an app that connected: the host's optional client_may_connect, asked in
// host context before anything else of the connection reaches the host. A host without its own
// decision (TavBase's default, or an object made before the operation existed) accepts every app
// and is not asked. Threads and the GIL: docs/threads.md.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "host/host_bridge.hpp"
#include "net/serving_state.hpp"
#include "runtime/one_shot.hpp"

namespace tav {

class Admission {
  public:
    Admission(HostBridge& host, const ServingState& state) : host_(host), state_(state) {}

    // The host's decision on the app at `ip`:`port`. Network thread, without the GIL; waits until
    // the decision ran in host context (pull mode: until the host drained it) or a stop let the
    // wait go. A decision that raises refuses the app; its error travels as any host error's.
    bool decide(const std::string& ip, int port);
    // A stop lets a waiting decision go (after is_serving was cleared); the host is then not
    // asked.
    void release();

  private:
    struct Pending {
        OneShot done;
        std::atomic<bool> accepted{false}, released{false};
    };

    // Whether the host has a decision of its own (holding the GIL).
    bool host_decides() const;

    HostBridge& host_;
    const ServingState& state_;
    std::mutex mutex_;  // pending_
    std::shared_ptr<Pending> pending_;
};

}  // namespace tav
