#include "protocol/host_values.hpp"

#include "core/python.hpp"

namespace tav::host_values {

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

nb::tuple exactly(nb::handle value, size_t n) {
    PyObject* t = PySequence_Tuple(value.ptr());
    if (t == nullptr) throw nb::python_error();
    nb::tuple items = nb::steal<nb::tuple>(t);
    const size_t got = items.size();
    if (got > n) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw nb::python_error();
    }
    if (got < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                     got);
        throw nb::python_error();
    }
    return items;
}

std::vector<double> doubles(nb::handle value, size_t n) {
    nb::tuple items = exactly(value, n);
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = to_double(items[i]);
    return out;
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

nb::object camera_name(nb::object value) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "a camera name must be str or None, not %.200s",
                     py::type_name(value).c_str());
        throw nb::python_error();
    }
    return value;
}

std::optional<std::string> payload(nb::handle data) {
    if (!data.is_valid() || data.is_none()) return std::nullopt;
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    std::string bytes(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

}  // namespace tav::host_values
