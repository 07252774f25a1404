// Key-list payloads: a 16-bit count, then records whose value comes first and whose time last.
#pragma once

#include <cstddef>
#include <vector>

namespace tav {

inline constexpr size_t kMatrixKeyDoubles = 17;  // 16 doubles camera matrix, key time
inline constexpr size_t kFlenKeyDoubles = 2;     // focal length, key time

struct KeyList {
    size_t record_doubles = 0;
    std::vector<double> doubles;  // the records, in order
    size_t count() const { return doubles.size() / record_doubles; }
};

}  // namespace tav
