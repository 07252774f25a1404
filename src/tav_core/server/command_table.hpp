// The server's side of the protocol table: for every code the app may send, how the network
// thread handles it and which handler runs. Echo and payload size come from commands.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/handlers.hpp"

namespace tav {

enum class Route {
    ignore,   // nothing is sent, read or delivered
    deliver,  // the handler is delivered to host context
    start,    // delivered, and the next code is read only once it has run
    stop,     // the stream stops on the network thread itself
};

struct RouteEntry {
    Route route = Route::ignore;
    Handler handler = nullptr;
    bool echo = false;
    size_t payload = 0;      // bytes read after the echo
    size_t key_doubles = 0;  // key lists: doubles per record (the list is read after the code)
};

const RouteEntry& route_of(uint8_t code);

}  // namespace tav
