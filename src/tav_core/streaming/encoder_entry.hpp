// The module's encoder entry `_ep(args)`: the argument tuple, read holding the GIL, as the C++
// arguments of the encoder worker (encoder_worker.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include "streaming/encoder_worker.hpp"

namespace tav::streaming {

namespace nb = nanobind;

// Holding the GIL. ValueError (std::invalid_argument) unless `args` holds exactly 16 valid values.
EncoderArgs parse_encoder_args(nb::handle args);

// The entry `_ep(args)`: parses holding the GIL, then runs with the GIL released.
void encoder_entry(nb::handle args);

}  // namespace tav::streaming
