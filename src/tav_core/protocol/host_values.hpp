// Checked conversions of the values a host returns, and of request payloads. A value of the wrong
// shape raises (and so stops the handler before its reply), as Python's own unpacking would.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

namespace tav::host_values {

namespace nb = nanobind;

double to_double(nb::handle value);
bool truthy(nb::handle value);
// Exactly `n` items of any iterable.
nb::tuple exactly(nb::handle value, size_t n);
std::vector<double> doubles(nb::handle value, size_t n);
// Text encoded as ASCII (UnicodeEncodeError otherwise; TypeError for a non-text value).
std::string ascii(nb::handle text);
// An integer that fits an unsigned 16-bit field (OverflowError otherwise).
uint16_t u16(nb::handle value);
// A camera name: text or none (TypeError otherwise).
nb::object camera_name(nb::object value);
// The bytes of a request payload; nothing when it is absent or empty.
std::optional<std::string> payload(nb::handle data);

}  // namespace tav::host_values
