// The native test program, built for Linux and for Windows from the same sources. Run with
// `--child` it is the started copy of the hand-over tests; otherwise doctest runs the cases.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "handover.hpp"
#include "program.hpp"

namespace native_test {
std::string program_path;
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return native_test::run_child(std::vector<std::string>(argv + 2, argv + argc));
    native_test::program_path = argv[0];
    native_test::start_sockets();
    doctest::Context context(argc, argv);
    return context.run();
}
