#include "streaming/worker_args.hpp"

#include <stdexcept>

namespace tav::streaming {

void ArgReader::invalid(const std::string& what) const {
    throw std::invalid_argument(context_ + what);
}

std::string ArgReader::bytes(nb::handle value, const char* what) const {
    if (!nb::isinstance<nb::bytes>(value)) invalid(std::string(what) + ": bytes expected");
    nb::bytes b = nb::borrow<nb::bytes>(value);
    return std::string(b.c_str(), b.size());
}

nb::tuple ArgReader::sequence(nb::handle value, size_t size, const char* what) const {
    nb::tuple items = nb::tuple(nb::borrow(value));
    if (items.size() != size)
        invalid(std::string(what) + ": " + std::to_string(size) + " items expected");
    return items;
}

std::shared_ptr<ipc::Lock> ArgReader::lock(nb::handle value, const char* what) const {
    return ipc::Lock::from_share(bytes(value, what));
}

std::shared_ptr<ipc::Event> ArgReader::event(nb::handle value, const char* what) const {
    nb::tuple d = sequence(value, 3, what);
    return ipc::Event::from_share({bytes(d[0], what), bytes(d[1], what), bytes(d[2], what)});
}

}  // namespace tav::streaming
