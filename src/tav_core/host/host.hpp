// The host side: the host bridge, the only way into the host's Python, push or pull
// (host_bridge.hpp) with the pull-mode queue (callback_queue.hpp); the checks of the values the
// host hands over (host_values.hpp); the cameras of the app's session (cameras.hpp).
#pragma once

#include "host/callback_queue.hpp"
#include "host/cameras.hpp"
#include "host/host_bridge.hpp"
#include "host/host_values.hpp"
