#include "host/cameras.hpp"

#include "net/commands.hpp"

namespace tav {

bool Cameras::check(HostBridge& host, net::ClientLink& link) {
    nb::handle cam = current;
    if (PyUnicode_Check(cam.ptr()) && PyUnicode_GetLength(cam.ptr()) > 0 &&
        host_values::truthy(host.call("get_camera_exists", cam)))
        return true;
    link.send_code(ERR_MISSING_CAMERA);
    return false;
}

}  // namespace tav
