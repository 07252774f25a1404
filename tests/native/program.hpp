// What the test cases know about the running test program.
#pragma once

#include <string>

namespace native_test {
// The path this program was started by, to start copies of it.
extern std::string program_path;
}  // namespace native_test
