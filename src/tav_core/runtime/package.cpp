#include "runtime/package.hpp"

namespace tav {

namespace {
std::string& package() {
    static auto* p = new std::string("tavrel");
    return *p;
}
}  // namespace

void set_package(std::string name) { package() = std::move(name); }

std::string package_module(const char* name) {
    return package().empty() ? std::string(name) : package() + "." + name;
}

}  // namespace tav
