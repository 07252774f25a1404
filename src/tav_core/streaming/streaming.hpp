// Viewport streaming: the stream of the connected app (stream.hpp) with its typed capture
// configuration (capture_config.hpp, pixel_formats.hpp), its frame path and the getters' hand-off
// to frame requests (frame_answers.hpp); worker processes as owned objects (worker_process.hpp),
// forked or spawned (worker_launch.hpp) from one record (worker_record.hpp), and how they end in
// time (worker_life.hpp); the encoder worker (encoder_worker.hpp, vp9_encoder.hpp) and the
// screenshot worker (screenshot_worker.hpp, which grabs the screen through
// platform/screen_grab.hpp), each run without Python.
#pragma once

#include "streaming/capture_config.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/frame_answers.hpp"
#include "streaming/pixel_formats.hpp"
#include "streaming/screenshot_worker.hpp"
#include "streaming/stream.hpp"
#include "streaming/worker_environment.hpp"
#include "streaming/worker_launch.hpp"
#include "streaming/worker_process.hpp"
#include "streaming/worker_record.hpp"
