// Writing a whole file at once.
#pragma once

#include <string>
#include <string_view>

namespace tav::platform {

// Writes `data` to `path`, replacing an existing file the way a file opened for writing would
// (same permissions, same errors). Returns 0, or the system's error number of the failed open,
// write or close; a regular file that could not be written whole is removed again (a device or
// pipe the path names is left alone). Blocks on the file system.
int write_file(const std::string& path, std::string_view data);

}  // namespace tav::platform
