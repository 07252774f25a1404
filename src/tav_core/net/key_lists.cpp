#include "net/key_lists.hpp"

#include <cstring>

#include "net/wire.hpp"

namespace tav {

namespace nb = nanobind;

std::optional<KeyList> read_key_list(net::ClientLink& link, size_t record_doubles) {
    std::optional<std::string> head = link.recv_payload(2);
    if (!head) return std::nullopt;
    const size_t n = wire::Reader(*head).u16();
    if (n == 0) return std::nullopt;
    std::optional<std::string> body = link.recv_payload(n * record_doubles * sizeof(double));
    if (!body) return std::nullopt;
    KeyList keys;
    keys.record_doubles = record_doubles;
    keys.doubles.resize(n * record_doubles);
    std::memcpy(keys.doubles.data(), body->data(), body->size());
    return keys;
}

// (keyframes, values): the key times, and the transforms (16-double tuples) or focal lengths.
nb::tuple key_list_to_python(const KeyList& keys) {
    const size_t n = keys.count(), per = keys.record_doubles;
    nb::list keyframes, values;
    for (size_t i = 0; i < n; ++i) {
        const double* r = keys.doubles.data() + i * per;
        keyframes.append(r[per - 1]);
        if (per == 2) {
            values.append(r[0]);
        } else {
            nb::object t = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(per - 1)));
            for (size_t j = 0; j + 1 < per; ++j)
                PyTuple_SetItem(t.ptr(), static_cast<Py_ssize_t>(j), PyFloat_FromDouble(r[j]));
            values.append(t);
        }
    }
    return nb::make_tuple(keyframes, values);
}

}  // namespace tav
