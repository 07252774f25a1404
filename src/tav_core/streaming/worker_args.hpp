// Reading a worker's argument tuple, holding the GIL in the parent. Every error is a ValueError
// (std::invalid_argument) whose text starts with the reader's context, e.g. "Invalid encoder ".
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "ipc/event.hpp"
#include "ipc/lock.hpp"

namespace tav::streaming {

namespace nb = nanobind;

class ArgReader {
  public:
    explicit ArgReader(const char* context) : context_(context) {}

    [[noreturn]] void invalid(const std::string& what) const;
    std::string bytes(nb::handle value, const char* what) const;
    nb::tuple sequence(nb::handle value, size_t size, const char* what) const;
    std::shared_ptr<ipc::Lock> lock(nb::handle value, const char* what) const;
    std::shared_ptr<ipc::Event> event(nb::handle value, const char* what) const;

  private:
    const char* context_;
};

// A forked worker's module entry (`entry`: "_ep", "_sp"): its argument tuple read with `parse`
// holding the GIL, then `run` without it.
template <typename Parse, typename Run>
void run_forked_entry(nb::handle args, const char* entry, Parse parse, Run run) {
    if (args.is_none())
        throw std::invalid_argument(
            std::string(entry) +
            " needs its argument tuple: on this platform workers are forked and are handed it");
    auto parsed = parse(args);
    nb::gil_scoped_release release;
    run(parsed);
}

}  // namespace tav::streaming
