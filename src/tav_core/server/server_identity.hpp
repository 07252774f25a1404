// What the server tells the app about itself: the host's name and the plug-in's version, as the
// host gave them (the constructor checked them).
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace tav {

struct ServerIdentity {
    nanobind::object platform, plugin_version;
    std::string platform_text;
};

}  // namespace tav
