#include "qr/connection_qr.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/net_addresses.hpp"
#include "qr/qr.hpp"
#include "runtime/python.hpp"

namespace tav::qr {

namespace {

// The app reads at most this many addresses from the code.
constexpr size_t kMaxQrAddresses = 10;

// Raises the OSError subclass of the errno, with its system text, as Python's own I/O would.
// Made from the number, not through errno: on Windows the module's C runtime and Python's keep
// an errno each.
[[noreturn]] void raise_os_error(const std::system_error& e, nb::handle filename = nb::handle()) {
    const int err = e.code().value();
    nb::object error = nb::borrow(PyExc_OSError)(err, nb::str(std::strerror(err)),
                                                 filename ? nb::borrow(filename) : nb::none());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

std::vector<std::string> machine_addresses() {
    try {
        py::Unlocked unlocked;
        return platform::net_addresses();
    } catch (const std::system_error& e) {
        raise_os_error(e);
    }
}

// Any Python integer (anything with __index__, as range() takes); floats and text are refused.
long long box_size_value(nb::handle box_size) {
    const char* message = "box_size must be a positive integer";
    if (!PyIndex_Check(box_size.ptr())) throw std::invalid_argument(message);
    nb::object index = nb::steal(PyNumber_Index(box_size.ptr()));
    if (!index) throw nb::python_error();
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) return overflow > 0 ? LLONG_MAX : 0;  // both refused by Geometry
    return value;
}

struct Qr {
    Symbol symbol;
    Geometry geometry;
};

Qr connection_qr(const std::string& text, nb::handle box_size) {
    long long box = box_size_value(box_size);
    Symbol symbol = Symbol::encode(text);
    Geometry geometry(kBorder, symbol.width(), box);
    return {std::move(symbol), geometry};
}

RawImage raw_image(const std::string& text, nb::handle box_size) {
    Qr code = connection_qr(text, box_size);
    RawImage image(code.geometry);
    draw_symbol(code.symbol, image);
    return image;
}

}  // namespace

std::string connection_string(bool serving, std::optional<int> port,
                              const std::optional<std::string>& address) {
    if (!serving || !port || *port == 0)
        throw std::runtime_error("TavServer has not started serving, can't generate QR");
    std::string text = std::to_string(*port);
    if (address) return text + "_" + *address;
    std::vector<std::string> addresses = machine_addresses();
    for (size_t i = 0; i < addresses.size() && i < kMaxQrAddresses; ++i) text += "_" + addresses[i];
    return text;
}

nb::list net_address_list() {
    nb::list list;
    for (const std::string& address : machine_addresses()) list.append(nb::str(address.c_str()));
    return list;
}

nb::list image_rows(const std::string& text, nb::handle box_size) {
    RawImage image = raw_image(text, box_size);
    int side = image.pixel_size();
    nb::list rows;
    for (int y = 0; y < side; ++y) {
        nb::object row = nb::steal(
            PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(image.row(y)), side));
        if (!row) throw nb::python_error();
        rows.append(row);
    }
    return rows;
}

nb::object qt_pixmap(const std::string& text, nb::handle box_size) {
    Qr code = connection_qr(text, box_size);
    QtImage image(code.geometry);
    draw_symbol(code.symbol, image);
    return image.pixmap();
}

void write_png_file(const std::string& text, nb::handle file_path, nb::handle box_size) {
    RawImage image = raw_image(text, box_size);
    // Paths as open() takes them: str, bytes or os.PathLike; the error names the path as given.
    nb::object path = nb::steal(PyOS_FSPath(file_path.ptr()));
    if (!path) throw nb::python_error();
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &encoded)) throw nb::python_error();
    nb::bytes native = nb::steal<nb::bytes>(encoded);
    std::string native_path(native.c_str(), native.size());
    try {
        py::Unlocked unlocked;
        write_png(native_path, image);
    } catch (const std::system_error& e) {
        raise_os_error(e, path);
    }
}

}  // namespace tav::qr
