#include "server/admission.hpp"

#include "runtime/package.hpp"
#include "runtime/python.hpp"
#include "server/app_session.hpp"

namespace tav {

namespace {

constexpr const char* kDecision = "client_may_connect";

}  // namespace

bool Admission::host_decides() const {
    nb::object decision = nb::getattr(host_.tavbase(), kDecision, nb::none());
    if (decision.is_none()) return false;
    // TavBase's own default accepts: asking it would only cost a trip through the host's loop.
    nb::object base =
        nb::module_::import_(package_module("tav_base").c_str()).attr("TavBase").attr(kDecision);
    nb::object bound = nb::getattr(decision, "__func__", nb::none());
    return !bound.is(base);
}

bool Admission::decide(const std::string& ip, int port) {
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(mutex_);
        pending_ = pending;
    }
    if (!state_.is_serving) return false;  // a stop came first; its release() saw no wait
    {
        py::Gil gil;
        try {
            if (host_decides()) {
                host_.deliver_native([&host = host_, pending, ip, port] {
                    struct Done {
                        Pending& p;
                        ~Done() { p.done.set(); }
                    } done{*pending};
                    if (pending->released) return;
                    pending->accepted = host_values::truthy(host.call(kDecision, ip, port));
                });
            } else {
                pending->accepted = true;
                pending->done.set();
            }
        } catch (...) {
            pending->done.set();
            py::report_current_exception(kNetworkThread);
        }
    }
    pending->done.wait();
    {
        std::lock_guard lock(mutex_);
        pending_.reset();
    }
    return pending->accepted && !pending->released;
}

void Admission::release() {
    std::lock_guard lock(mutex_);
    if (!pending_) return;
    pending_->released = true;
    pending_->done.set();
}

}  // namespace tav
