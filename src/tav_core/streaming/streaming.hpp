// Viewport streaming: the capture configuration, the session and its frame path, and the worker
// processes, as TavServer members defined in this folder (state in session_state.hpp, the
// getters' hand-off to frame requests in frame_answers.hpp); the encoder worker
// (encoder_worker.hpp, vp9_encoder.hpp), the screenshot worker (screenshot_worker.hpp), and
// forked-process handling (process.hpp, worker_life.hpp).
#pragma once

#include "streaming/encoder_worker.hpp"
#include "streaming/frame_answers.hpp"
#include "streaming/process.hpp"
#include "streaming/screenshot_worker.hpp"
#include "streaming/session_state.hpp"
