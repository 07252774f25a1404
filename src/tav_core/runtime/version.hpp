// The package version (pyproject.toml), passed in by the build: the server's version.
#pragma once

#include <array>

namespace tav {

inline constexpr std::array<int, 3> kVersion = {TAV_VERSION_MAJOR, TAV_VERSION_MINOR,
                                                TAV_VERSION_PATCH};

}  // namespace tav
