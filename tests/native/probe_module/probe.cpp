// A module with a little of everything the core's bindings use: a class, a method releasing the
// GIL, a thread, an exception.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace nb = nanobind;

namespace {
struct Counter {
    int value = 0;
    int add(int n) {
        nb::gil_scoped_release unlocked;
        std::thread worker([&] { value += n; });
        worker.join();
        return value;
    }
};
}  // namespace

NB_MODULE(tav_probe, m) {
    nb::class_<Counter>(m, "Counter").def(nb::init<>()).def("add", &Counter::add);
    m.def("greet", [](const std::string& who) {
        if (who.empty()) throw std::invalid_argument("nobody to greet");
        return "hello " + who;
    });
}
