// Checked conversions of the values a host hands over. A value of the
// wrong shape raises (and so stops the handler before its reply) an error that names where the
// value came from and what was expected:
//   get_playback_state returned (1.0, 2.0); expected (start, end, current frame)
// of the type Python's own conversion would raise (ValueError for a wrong count, TypeError for a
// wrong type, UnicodeEncodeError for text beyond ASCII, OverflowError for a number too large).
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

namespace tav::host_values {

namespace nb = nanobind;

// A value from the host together with where it came from: the operation that returned it, or a
// setting the host gave ("plugin_version" with the verb "is").
struct Returned : nb::object {
    Returned(nb::object value, const char* source, const char* verb = "returned")
        : nb::object(std::move(value)), source(source), verb(verb) {}
    const char* source;
    const char* verb;
};

// Raises `type` with the text "<source> <verb> <value>; expected <expected>".
[[noreturn]] void fail(const Returned& value, const char* expected, nb::handle type);
// Replaces the error a conversion of `value` raised by one that says what was expected (see
// checked). Call inside the catch block of that error.
[[noreturn]] void fail(const Returned& value, const char* expected, nb::python_error& error);

// Runs `convert`; an error it raises becomes one that names the value's source and `expected`.
// When the host's own code raised it (it has a traceback), that error stays as the cause; an error
// of a type the host defined is kept as it is, with the text as a note.
template <typename F>
auto checked(const Returned& value, const char* expected, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (nb::python_error& e) {
        fail(value, expected, e);
    }
}

// Adds a note to an error raised by the host operation `operation` (shown under the error's own
// text by Python 3.11 and later), so the report names the operation.
void note_raised_by(nb::python_error& error, const char* operation);

double number(const Returned& value, const char* expected = "a number");
// Exactly `n` items of any iterable.
nb::tuple exactly(const Returned& value, size_t n, const char* expected);
std::vector<double> numbers(const Returned& value, size_t n, const char* expected);
// A camera name: text or none.
nb::object camera_name(const Returned& value);

// Conversions of values that are not the host's (or were checked when they came in).
double to_double(nb::handle value);
bool truthy(nb::handle value);
// Text encoded as ASCII (UnicodeEncodeError otherwise; TypeError for a non-text value).
std::string ascii(nb::handle text);
// An integer that fits an unsigned 16-bit field (OverflowError otherwise).
uint16_t u16(nb::handle value);

}  // namespace tav::host_values
