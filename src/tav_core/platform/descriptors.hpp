// Descriptors (files, pipes, sockets) by number: closing them, and reading and writing
// whole byte strings on a blocking one.
#pragma once

#include <string>
#include <string_view>

namespace tav::platform {

void close_descriptor(int fd);
// One end of a stream socket whose other end is closed already (closed at exec); throws
// std::system_error.
int dead_end_stream();
// Writes all of `data`; false when the descriptor failed first (a reader that is gone).
bool write_all(int fd, std::string_view data);
// Reads exactly `size` bytes; false when the stream ended or failed first.
bool read_exactly(int fd, void* buffer, size_t size);
// True when the writer of the stream `fd` reads from is gone (every copy of its end closed) and
// nothing is left to read. Never blocks; may consume a byte that was still there.
bool stream_ended(int fd);
// Everything there is to read now, up to the end of the stream (or its failure).
std::string read_to_end(int fd);

}  // namespace tav::platform
