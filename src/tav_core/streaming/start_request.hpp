// The app's request to start a stream, as the server's handler decoded it from its payload.
#pragma once

namespace tav::streaming {

struct StartRequest {
    double fps = 0;         // frames per second, as the app asked (the session clamps it)
    double mbps = 0;        // target bit rate in Mbit/s, as the app asked (clamped likewise)
    bool opaque = true;     // false: the app would like an alpha channel
    bool autosend = false;  // true: the server sends frames on its own at `fps`
};

}  // namespace tav::streaming
