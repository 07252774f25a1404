// The end-to-end run of a stream: this program in the server's place (`--stream`: the frame block,
// the lock and events, the app's socket connected to a listener, the workers spawned and stopped
// the way the server does it) and, as spawned copies, the encoder and screenshot workers running
// the core's own loops (streaming/encoder_worker.hpp, screenshot_worker.hpp) without Python.
//
// `--stream port=P source=S frames=N width=W height=H [fps=F] [mbps=M] [colours=RRGGBB,...]`:
//   block:   N still frames written into the block ("rgb"): the top half in the first colour, the
//            bottom half in the second;
//   pattern: N frames of a moving pattern ("rgba"), for measuring the encoder;
//   screen:  N screenshots of a W x H region of a window painted in the first colour ("bgra").
// The encoder writes its video packet messages onto the connection; this program only starts,
// feeds and stops. It prints what it did on standard output and exits 0 when both workers ended
// on their own after the stop.
#pragma once

#include <string>
#include <vector>

namespace native_test {

// `args` follow "--stream" on the command line. Returns the process exit code.
int run_stream(const std::vector<std::string>& args);

// The spawned workers' side: the argument block's fields (role first). Return the exit code.
int run_encoder_worker(const std::vector<std::string>& fields);
int run_screenshot_worker(const std::vector<std::string>& fields);

}  // namespace native_test
