#include "host/host_values.hpp"

#include "runtime/python.hpp"

namespace tav::host_values {

namespace {

// Longer texts of a value are cut: a list of thousands of names says no more than its start.
constexpr size_t kShownLength = 160;

std::string shown(nb::handle value) {
    PyObject* r = PyObject_Repr(value.ptr());
    if (r == nullptr) {
        PyErr_Clear();
        return "<" + py::type_name(value) + " object>";
    }
    nb::object text = nb::steal(r);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<" + py::type_name(value) + " object>";
    }
    std::string s(utf8, static_cast<size_t>(size));
    if (s.size() > kShownLength) {
        size_t cut = kShownLength;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // whole
        s = s.substr(0, cut) + "...";
    }
    return s;
}

std::string describe(const Returned& value, const char* expected) {
    return std::string(value.source) + " " + value.verb + " " + shown(value) + "; expected " +
           expected;
}

[[noreturn]] void raise(nb::handle error) {
    PyErr_SetObject(error.type().ptr(), error.ptr());
    throw nb::python_error();
}

void add_note(nb::handle error, const std::string& text) {
    // Notes exist from Python 3.11 on; before, the traceback alone shows where the error came from.
    if (!nb::hasattr(error, "add_note")) return;
    try {
        error.attr("add_note")(text);
    } catch (nb::python_error&) {
    }
}

}  // namespace

void fail(const Returned& value, const char* expected, nb::handle type) {
    PyErr_SetString(type.ptr(), describe(value, expected).c_str());
    throw nb::python_error();
}

void fail(const Returned& value, const char* expected, nb::python_error& error) {
    std::string text = describe(value, expected);
    nb::handle type = error.type(), cause = error.value();
    const bool from_host_code = error.traceback().is_valid();
    nb::object replacement;
    if (type.is(PyExc_UnicodeEncodeError)) {
        // Its text is made of its fields: what was expected goes in as the reason.
        replacement =
            nb::handle(PyExc_UnicodeEncodeError)(cause.attr("encoding"), cause.attr("object"),
                                                 cause.attr("start"), cause.attr("end"), text);
    } else if (type.is(PyExc_TypeError) || type.is(PyExc_ValueError) ||
               type.is(PyExc_OverflowError)) {
        if (!from_host_code) text += " (" + std::string(nb::str(cause).c_str()) + ")";
        replacement = type(text);
    } else {
        add_note(cause, text);
        throw;
    }
    if (from_host_code) PyException_SetCause(replacement.ptr(), nb::borrow(cause).release().ptr());
    raise(replacement);
}

void note_raised_by(nb::python_error& error, const char* operation) {
    add_note(error.value(), std::string("raised by the host operation ") + operation);
}

double to_double(nb::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

bool truthy(nb::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

double number(const Returned& value, const char* expected) {
    return checked(value, expected, [&] { return to_double(value); });
}

nb::tuple exactly(const Returned& value, size_t n, const char* expected) {
    nb::tuple items = checked(value, expected, [&] {
        PyObject* t = PySequence_Tuple(value.ptr());
        if (t == nullptr) throw nb::python_error();
        return nb::steal<nb::tuple>(t);
    });
    if (items.size() != n) fail(value, expected, PyExc_ValueError);
    return items;
}

std::vector<double> numbers(const Returned& value, size_t n, const char* expected) {
    nb::tuple items = exactly(value, n, expected);
    return checked(value, expected, [&] {
        std::vector<double> out(n);
        for (size_t i = 0; i < n; ++i) out[i] = to_double(items[i]);
        return out;
    });
}

nb::object camera_name(const Returned& value) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr()))
        fail(value, "a camera name (str or None)", PyExc_TypeError);
    return value;
}

std::string ascii(nb::handle text) {
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", py::type_name(text).c_str());
        throw nb::python_error();
    }
    PyObject* b = PyUnicode_AsASCIIString(text.ptr());
    if (b == nullptr) throw nb::python_error();
    nb::bytes encoded = nb::steal<nb::bytes>(b);
    return std::string(encoded.c_str(), encoded.size());
}

uint16_t u16(nb::handle value) {
    long v = PyLong_AsLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (v < 0 || v > 65535) {
        PyErr_Format(PyExc_OverflowError, "%ld does not fit an unsigned 16-bit field", v);
        throw nb::python_error();
    }
    return static_cast<uint16_t>(v);
}

}  // namespace tav::host_values
