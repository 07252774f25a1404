// A failed operation on a socket, raised to Python as OSError(errno, text).
#pragma once

#include <stdexcept>

#include "net/socket_io.hpp"

namespace tav::net {

class Error : public std::runtime_error {
  public:
    explicit Error(int err) : std::runtime_error(error_text(err)), code(err) {}
    int code;
};

}  // namespace tav::net
