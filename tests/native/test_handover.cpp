// A spawned copy of this program receives its argument block on standard input and a connected
// socket handed over explicitly, and its bytes reach the other end of that socket.
//
// The other end is the listener at 127.0.0.1:$TAV_TEST_PORT when that is set (the pytest suite's,
// on Linux, while this runs under Wine), or one of the test's own.
#include <doctest/doctest.h>

#include <cstdlib>
#include <string>

#include "handover.hpp"

using namespace native_test;

TEST_CASE("a spawned child sends through the socket handed over with its argument block") {
    const char* outside = std::getenv("TAV_TEST_PORT");
    std::uint16_t port = 0;
    socket_handle listener = 0;
    if (outside) {
        port = std::uint16_t(std::atoi(outside));
    } else {
        listener = listen_loopback(port);
    }
    socket_handle link = connect_loopback(port);
    socket_handle far_end = outside ? 0 : accept_one(listener);

    const std::string message =
        outside
            ? std::string(std::getenv("TAV_TEST_MESSAGE") ? std::getenv("TAV_TEST_MESSAGE") : "")
            : std::string(100000, 'x') + "end";
    {
        Child child(socket_handles(link));
        REQUIRE(child.send({"socket", socket_share(link, child.hand_over()), message}));
        CHECK(platform::exited_with(child.wait(20), 0));
    }
    close_socket(link);  // the far end sees the end of the stream once both copies are closed

    if (!outside) {
        CHECK(receive_all(far_end, message.size() + 1) == message);
        close_socket(far_end);
        close_socket(listener);
    }
}
