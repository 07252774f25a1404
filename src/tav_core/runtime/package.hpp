// Where the extension module lives: the package whose sibling modules it imports.
#pragma once

#include <string>

namespace tav {

void set_package(std::string package);         // at module initialisation
std::string package_module(const char* name);  // "tavrel.NAME"

}  // namespace tav
