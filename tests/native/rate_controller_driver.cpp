// Drives the connection's rate controller from a trace on stdin, for tests/test_rate_control.py.
// First line: the asked bit rate and frames per second. Then one sample a line: now (s), bytes
// delivered in all, backlog bytes, round trip and least round trip (s), refused (0 or 1), bytes of
// the backlog still held by the writer. After
// each sample it prints the target (bit/s) on a line of its own, so a caller can close the loop.
#include <cstdio>

#include "net/rate_controller.hpp"

int main() {
    double asked = 0, fps = 0;
    if (std::scanf("%lf %lf", &asked, &fps) != 2) return 2;
    tav::net::RateController rc(asked, fps, tav::net::RateController::start_target(asked, 0));
    std::printf("%.0f\n", rc.target());
    std::fflush(stdout);
    tav::net::LinkSample s;
    unsigned long long delivered = 0;
    size_t backlog = 0, held = 0;
    double rtt = 0;  // recorded, and no longer read: a delayed acknowledgement inflates it
    int refused = 0;
    while (std::scanf("%lf %llu %zu %lf %lf %d %zu", &s.now, &delivered, &backlog, &rtt, &s.min_rtt,
                      &refused, &held) == 7) {
        s.delivered = delivered;
        s.backlog = backlog;
        s.held = held;
        s.refused = refused != 0;
        rc.step(s);
        std::printf("%.0f\n", rc.target());
        std::fflush(stdout);
    }
    return 0;
}
