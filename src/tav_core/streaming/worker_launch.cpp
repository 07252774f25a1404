#include "streaming/worker_launch.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "platform/descriptors.hpp"
#include "platform/system.hpp"
#include "runtime/package.hpp"
#include "streaming/worker_environment.hpp"
#include "streaming/worker_life.hpp"

namespace tav::streaming {

namespace {

// The argument tuple on standard input (holding the GIL).
nb::object read_argument_tuple(const char* entry) {
    uint8_t size[4];
    std::string data;
    {
        nb::gil_scoped_release release;
        const platform::Handle input = platform::standard_input();
        if (platform::read_exactly(input, size, sizeof size)) {
            data.resize(uint32_t(size[0]) | uint32_t(size[1]) << 8 | uint32_t(size[2]) << 16 |
                        uint32_t(size[3]) << 24);
            if (!platform::read_exactly(input, data.data(), data.size())) data.clear();
        }
    }
    if (data.empty())
        throw std::invalid_argument(std::string(entry) +
                                    " needs its argument tuple: given as its argument, or as the "
                                    "argument block on standard input, which is missing or cut "
                                    "short");
    return nb::module_::import_("pickle").attr("loads")(nb::bytes(data.data(), data.size()));
}

// Tells the server the worker took its arguments; then runs it without the GIL.
void run_spawned(WorkerRecord record) {
    // Any other process than this one; a spawned worker, like a forked one, takes a broken pipe
    // as a failed write.
    std::visit([](auto& a) { a.parent_pid = platform::parent_process(); }, record.args);
    platform::ignore_broken_pipes();
    ParentWatch::set_lifeline(platform::standard_input());
    int status;
    {
        nb::gil_scoped_release release;
        platform::write_all(platform::standard_output(), kReadyMark);
        status = record.run();
    }
    if (status != 0) {
        PyErr_SetObject(PyExc_SystemExit, nb::int_(status).ptr());
        throw nb::python_error();
    }
}

}  // namespace

std::string_view launch_name(WorkerLaunch how) {
    return how == WorkerLaunch::spawn ? "spawn" : "fork";
}

WorkerLaunch default_launch() {
    return platform::kForkWorkers ? WorkerLaunch::fork : WorkerLaunch::spawn;
}

std::string argument_block(const WorkerRecord& record, const platform::HandOver& to) {
    nb::bytes data = nb::borrow<nb::bytes>(
        nb::module_::import_("pickle").attr("dumps")(encode_record(record, to)));
    const uint32_t n = static_cast<uint32_t>(data.size());
    std::string block;
    for (int shift = 0; shift < 32; shift += 8) block += static_cast<char>((n >> shift) & 0xff);
    block.append(data.c_str(), data.size());
    return block;
}

std::vector<std::string> worker_command(const std::string& python, const char* entry) {
    const std::string module = package_module("tav_core");
    return {python, "-c", "from " + module + " import " + entry + "; " + entry + "()"};
}

std::vector<std::string> worker_environment_entries() {
    std::vector<std::string> out;
    for (auto [name, value] : worker_environment())
        out.push_back(nb::cast<std::string>(nb::str(name)) + "=" +
                      nb::cast<std::string>(nb::str(value)));
    return out;
}

void run_entry(const char* entry, nb::handle args) {
    if (args.is_none()) return run_spawned(decode_record(entry, read_argument_tuple(entry)));
    const WorkerRecord record = decode_record(entry, args);
    nb::gil_scoped_release release;
    record.run();
}

}  // namespace tav::streaming
