// Key-list payloads: a 16-bit count, then records whose value comes first and whose time last.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "net/client_link.hpp"

namespace tav {

inline constexpr size_t kMatrixKeyDoubles = 17;  // 16 doubles camera matrix, key time
inline constexpr size_t kFlenKeyDoubles = 2;     // focal length, key time

struct KeyList {
    size_t record_doubles = 0;
    std::vector<double> doubles;  // the records, in order
    size_t count() const { return doubles.size() / record_doubles; }
};

// Network thread, without the GIL: the key list that follows a code, or nothing when the
// connection failed or the list is empty.
std::optional<KeyList> read_key_list(net::ClientLink& link, size_t record_doubles);

// Holding the GIL: (keyframes, values), the key times and the transforms (16-number tuples) or
// focal lengths.
nanobind::tuple key_list_to_python(const KeyList& keys);

}  // namespace tav
