// The platform layer (and the cross-process lock and event built on it) between this program and
// spawned copies of it, the way the server and its workers use them.
#include <doctest/doctest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "handover.hpp"
#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/owned_blocks.hpp"
#include "platform/descriptors.hpp"
#include "platform/secure_random.hpp"
#include "platform/shared_block.hpp"
#include "program.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace native_test;
namespace ipc = tav::ipc;

namespace {

std::vector<std::string> with(std::vector<std::string> fields,
                              const std::array<std::string, 3>& e) {
    fields.insert(fields.end(), e.begin(), e.end());
    return fields;
}

std::vector<platform::Handle> handles_of(const ipc::Lock* lock,
                                         std::initializer_list<const ipc::Event*> events) {
    std::vector<platform::Handle> out;
    if (lock) out = lock->handles();
    for (const ipc::Event* e : events)
        for (platform::Handle h : e->handles()) out.push_back(h);
    return out;
}

// A block name of this test's own, as the system takes it.
std::string test_block_name() {
    unsigned char random[4];
    platform::secure_random(random, sizeof random);
    char name[40];
    std::snprintf(name, sizeof name, "tavtest_%02x%02x%02x%02x", random[0], random[1], random[2],
                  random[3]);
    return platform::system_block_name(name);
}

// A pipe whose ends a spawned child would inherit if the spawn let it.
void inheritable_pipe(platform::Handle ends[2]) {
#ifdef _WIN32
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    REQUIRE(CreatePipe(&ends[0], &ends[1], &inherit, 0));
#else
    REQUIRE(::pipe(ends) == 0);
#endif
}

}  // namespace

TEST_CASE(
    "a spawned child gets its argument block, environment and command line; its output "
    "and status come back") {
    // What a worker's command line holds: a path with spaces, code with quotes and semicolons.
    const std::vector<std::string> args = {"C:\\Program Files\\Host 4.2\\python.exe",
                                           "-c",
                                           "from m import _ep; _ep(\"a b\")",
                                           "",
                                           "trailing\\",
                                           "back\\\"slash"};
    Child child({}, {"TAV_NATIVE_VALUE=given to the child"}, args);
    REQUIRE(child.send({"echo", "a block field"}));
    const int status = child.wait(20);
    CHECK(platform::exited_with(status, 7));
    std::string expected = "echo:a block field;env:given to the child;args:";
    for (const std::string& a : args) expected += "<" + a + ">";
    CHECK(child.output() == expected);

    platform::HandOver nothing;
    CHECK_THROWS_AS(platform::spawn({program_path + ".absent"}, {}, nothing), std::system_error);
}

TEST_CASE("a spawned child inherits nothing of its parent but what it is handed") {
    platform::Handle ends[2];
    inheritable_pipe(ends);
    Child child;
    platform::close_descriptor(ends[1]);
    CHECK(platform::stream_ended(ends[0]));  // no copy of the write end lives in the child
    REQUIRE(child.send({"echo", "x"}));
    CHECK(platform::exited_with(child.wait(20), 7));
    platform::close_descriptor(ends[0]);
}

TEST_CASE("a child that never gets its arguments is killed at the time limit") {
    Child child;
    CHECK(child.wait(0.3) == -1);
    CHECK(platform::process_ended(child.process()));
}

TEST_CASE("a lock and events handed to a spawned child are waited on across the processes") {
    ipc::Lock lock;
    ipc::Event go, done;
    Child child(handles_of(&lock, {&go, &done}));
    const platform::HandOver& to = child.hand_over();
    REQUIRE(lock.acquire(false));
    REQUIRE(child.send(with(with({"meet", lock.share(&to)}, go.share(&to)), done.share(&to))));
    go.set();
    CHECK(done.wait(20));  // the child found the lock taken
    lock.release();        // and now takes it
    CHECK(platform::exited_with(child.wait(20), 0));
    CHECK_FALSE(lock.locked());
}

TEST_CASE("a worker killed while it waits leaves nothing taken for good") {
    // The kill lands at a different instant of the child's wait each round: a lock or event the
    // child was taking at that instant must still work afterwards.
    for (int round = 0; round < 8; ++round) {
        CAPTURE(round);
        ipc::Lock lock;
        ipc::Event ready, never;
        Child child(handles_of(&lock, {&ready, &never}));
        const platform::HandOver& to = child.hand_over();
        REQUIRE(
            child.send(with(with({"hold", lock.share(&to)}, ready.share(&to)), never.share(&to))));
        REQUIRE(ready.wait(20));
        CHECK(lock.locked());
        std::this_thread::sleep_for(std::chrono::microseconds(250 * round));
        platform::kill_process(child.process());
        CHECK(platform::wait_process(child.process(), 10));
        CHECK(child.wait(1) != -1);
        // A killed holder's lock is taken back by its pid; the events work on.
        CHECK_FALSE(lock.acquire(false));
        CHECK(lock.recover(child.process().pid));
        CHECK(lock.acquire(false));
        lock.release();
        never.recover(child.process().pid);
        never.set();
        CHECK(never.wait(0));
    }
}

TEST_CASE("the frame block: made, refused under a name that exists, attached by name elsewhere") {
    const std::string name = test_block_name();
    constexpr size_t size = 1 << 20;
    platform::Mapping made = platform::create_block(name, size, "");
    REQUIRE(made.data);
    CHECK(made.data[0] == 0);
    CHECK(made.data[size - 1] == 0);
    CHECK(platform::create_block(name, size, "").error == EEXIST);
    CHECK(platform::attach_block(name, size * 2).error == EINVAL);
    CHECK(platform::attach_block(name + "_absent", size).error == ENOENT);

    const std::string text = "written by the child";
    Child child;
    REQUIRE(child.send({"frame", name, number(size), text}));
    CHECK(platform::exited_with(child.wait(20), 0));
    CHECK(std::memcmp(made.data, text.data(), text.size()) == 0);

    // Generated names carry the system's prefix.
    ipc::Shm generated = ipc::Shm::create(4096);
    CHECK(generated.name().rfind(platform::kBlockNamePrefix, 0) == 0);
    generated.close();
    ipc::Shm::unlink(generated.name());
    platform::unmap_block(made.data, size);
    CHECK(platform::remove_block(name) == 0);
}

TEST_CASE("a block whose creator died is reclaimed") {
    const std::string report_name = test_block_name();
    platform::Mapping report = platform::create_block(report_name, sizeof(CreatorReport), "");
    REQUIRE(report.data);
    ipc::Event made, never;
    Child child(handles_of(nullptr, {&made, &never}));
    const platform::HandOver& to = child.hand_over();
    REQUIRE(child.send(with(with({"creator", report_name}, made.share(&to)), never.share(&to))));
    REQUIRE(made.wait(20));
    CreatorReport r;
    std::memcpy(&r, report.data, sizeof r);
    CHECK(r.stamp.pid == static_cast<uint64_t>(child.process().pid));
    CHECK_FALSE(platform::stamped_process_gone(r.stamp));
    platform::Mapping seen = platform::attach_block(r.name, 4096);
    REQUIRE(seen.data);
    platform::unmap_block(seen.data, 4096);

    platform::kill_process(child.process());
    REQUIRE(child.wait(10) != -1);
    CHECK(platform::stamped_process_gone(r.stamp));
    // POSIX keeps the name until the sweep removes it; Windows dropped the block with its last
    // user already.
    ipc::remove_orphaned_blocks();
    CHECK(platform::attach_block(r.name, 4096).error == ENOENT);
    CHECK_FALSE(platform::stamped_process_gone(platform::stamp_of_this_process()));
    platform::unmap_block(report.data, sizeof(CreatorReport));
    platform::remove_block(report_name);
}
