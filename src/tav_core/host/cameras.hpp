// The cameras of the app's session: the one the app selected and the list it last received.
#pragma once

#include <nanobind/nanobind.h>

#include "host/host_bridge.hpp"
#include "net/client_link.hpp"

namespace tav {

namespace nb = nanobind;

struct Cameras {
    nb::object current = nb::str("");  // text (empty before a selection) or none
    nb::object listed = nb::none();    // what get_scene_cameras last returned, or none

    // In host context: true when the current camera exists in the host; otherwise the app hears
    // ERR_MISSING_CAMERA.
    bool check(HostBridge& host, net::ClientLink& link);
};

}  // namespace tav
