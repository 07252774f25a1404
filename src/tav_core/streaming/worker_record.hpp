// What a worker is started with, whichever way it starts. The server fills one WorkerRecord for
// each worker start: a forked worker runs from the record itself, a spawned one from the record's
// argument tuple, which its entry (`_ep`, `_sp`) decodes into the same record. The tuple's 16
// (encoder) or 9 (screenshot) positional values exist only there, between encode_record and
// decode_record.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>
#include <variant>
#include <vector>

#include "platform/process.hpp"
#include "streaming/encoder_worker.hpp"
#include "streaming/screenshot_worker.hpp"

namespace tav::streaming {

namespace nb = nanobind;

struct WorkerRecord {
    std::variant<EncoderArgs, ScreenshotArgs> args;

    // The worker's module entry: "_ep" or "_sp".
    const char* entry() const;
    // What the worker is handed: its packet channel and its shared objects' handles.
    std::vector<platform::Handle> handles() const;
    // ValueError (std::invalid_argument) for values the worker would refuse, which a new start
    // would refuse again: the encoder's settings, a frame block smaller than a frame.
    void check() const;
    // Runs the worker without Python; returns its exit status (encoder_worker.hpp,
    // screenshot_worker.hpp).
    int run() const;
};

// Holding the GIL: the region of these values (ValueError, std::invalid_argument, for a region
// beyond the screen's coordinates or sides outside 1 to 32767 pixels).
Region screenshot_region(nb::handle x, nb::handle y, nb::handle width, nb::handle height);

// Holding the GIL: the argument tuple of `record` for a worker that `to` handed its handles.
nb::tuple encode_record(const WorkerRecord& record, const platform::HandOver& to);
// Holding the GIL: the record of the argument tuple of `entry` ("_ep" or "_sp"), with this
// process as the worker's parent. ValueError (std::invalid_argument) unless the tuple holds
// exactly 16 (encoder) or 9 (screenshot) valid values.
WorkerRecord decode_record(std::string_view entry, nb::handle tuple);

}  // namespace tav::streaming
