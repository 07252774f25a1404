#include "platform/loaded_symbol.hpp"

#include <dlfcn.h>

namespace tav::platform {

void* loaded_symbol(const char* name) { return ::dlsym(RTLD_DEFAULT, name); }

}  // namespace tav::platform
