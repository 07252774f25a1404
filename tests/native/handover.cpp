// Copies of this program started through the platform layer, and what they do once started.
#include "handover.hpp"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "ipc/event.hpp"
#include "ipc/lock.hpp"
#include "ipc/owned_blocks.hpp"
#include "platform/descriptors.hpp"
#include "platform/shared_block.hpp"
#include "program.hpp"
#include "stream_run.hpp"

#ifdef _WIN32
#define environ _environ
#else
extern char** environ;
#endif

namespace native_test {

namespace {

using clock = std::chrono::steady_clock;

void put_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
std::uint32_t get_u32(const unsigned char* in) {
    return std::uint32_t(in[0]) | std::uint32_t(in[1]) << 8 | std::uint32_t(in[2]) << 16 |
           std::uint32_t(in[3]) << 24;
}

// The fields of the argument block on standard input; none when it is missing or cut short.
std::vector<std::string> read_argument_block() {
    const platform::Handle in = platform::standard_input();
    unsigned char head[4];
    if (!platform::read_exactly(in, head, 4)) return {};
    std::string block(get_u32(head), '\0');
    if (!platform::read_exactly(in, block.data(), block.size())) return {};
    std::vector<std::string> fields;
    for (size_t at = 0; at + 4 <= block.size();) {
        const size_t n = get_u32(reinterpret_cast<const unsigned char*>(block.data() + at));
        fields.push_back(block.substr(at + 4, n));
        at += 4 + n;
    }
    return fields;
}

// This process's environment, as a child inherits it (Winsock needs SYSTEMROOT).
std::vector<std::string> environment() {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
    return out;
}

std::shared_ptr<tav::ipc::Event> event(const std::vector<std::string>& f, size_t first) {
    return tav::ipc::Event::from_share({f.at(first), f.at(first + 1), f.at(first + 2)});
}

// ---- the roles of a started child; each returns its exit code --------------------------------

// Its argument, the environment and command line it was given, and an exit code of its own.
int echo(const std::vector<std::string>& f, const std::vector<std::string>& args) {
    const char* value = std::getenv("TAV_NATIVE_VALUE");
    std::string out = "echo:" + f.at(1) + ";env:" + (value ? value : "(none)") + ";args:";
    for (const std::string& a : args) out += "<" + a + ">";
    platform::write_all(platform::standard_output(), out);
    return 7;
}

// Sends a message through the socket handed over.
int send_message(const std::vector<std::string>& f) {
    socket_handle s = shared_socket(f.at(1));
    const bool sent = send_all(s, f.at(2));
    close_socket(s);
    return sent ? 0 : 13;
}

// The parent holds the lock and sets `go`; the child finds the lock taken, sets `done`, and takes
// the lock once the parent released it.
int meet(const std::vector<std::string>& f) {
    auto lock = tav::ipc::Lock::from_share(f.at(1));
    auto go = event(f, 2), done = event(f, 5);
    if (!go->wait(20)) return 20;
    if (lock->acquire(false)) return 21;
    done->set();
    if (!lock->acquire(true, 20)) return 22;
    lock->release();
    return 0;
}

// Takes the lock, says so, and waits for an event nobody sets, until it is killed.
int hold(const std::vector<std::string>& f) {
    auto lock = tav::ipc::Lock::from_share(f.at(1));
    auto ready = event(f, 2), never = event(f, 5);
    if (!lock->acquire(true, 20)) return 30;
    ready->set();
    never->wait(60);
    return 31;
}

// Writes into the frame block it attaches by name.
int write_frame(const std::vector<std::string>& f) {
    const size_t size = number_of(f.at(2));
    platform::Mapping m = platform::attach_block(f.at(1), size);
    if (!m.data) return 40;
    std::memcpy(m.data, f.at(3).data(), f.at(3).size());
    platform::unmap_block(m.data, size);
    return 0;
}

// Makes a stamped block, reports its name and its own stamp in the block `f[1]`, sets `made`
// and waits until it is killed.
int make_block(const std::vector<std::string>& f) {
    tav::ipc::Shm made = tav::ipc::create_owned(4096);
    platform::Mapping report = platform::attach_block(f.at(1), sizeof(CreatorReport));
    if (!report.data) return 50;
    CreatorReport r{};
    std::strncpy(r.name, made.name().c_str(), sizeof r.name - 1);
    r.stamp = platform::stamp_of_this_process();
    std::memcpy(report.data, &r, sizeof r);
    platform::unmap_block(report.data, sizeof r);
    event(f, 2)->set();
    event(f, 5)->wait(60);
    return 51;
}

}  // namespace

std::string argument_block(const std::vector<std::string>& fields) {
    std::string body;
    for (const std::string& field : fields) {
        put_u32(body, static_cast<std::uint32_t>(field.size()));
        body += field;
    }
    std::string block;
    put_u32(block, static_cast<std::uint32_t>(body.size()));
    return block + body;
}

std::string number(std::uint64_t value) { return std::to_string(value); }
std::uint64_t number_of(const std::string& field) { return std::stoull(field); }

Child::Child(std::vector<platform::Handle> handed, std::vector<std::string> env,
             std::vector<std::string> args)
    : hand_over_{std::move(handed), {}} {
    std::vector<std::string> all = environment();
    all.insert(all.end(), env.begin(), env.end());
    args.insert(args.begin(), {program_path, "--child"});
    spawned_ = platform::spawn(args, all, hand_over_);
}

Child::~Child() {
    if (!ended_) {
        platform::kill_process(spawned_.process);
        platform::wait_process(spawned_.process, 10);
    }
}

bool Child::send(const std::vector<std::string>& fields) {
    return platform::write_all(spawned_.input.get(), argument_block(fields));
}

int Child::wait(double seconds) {
    const auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (!platform::process_ended(spawned_.process, &status)) {
        if (clock::now() >= deadline) {
            platform::kill_process(spawned_.process);
            platform::wait_process(spawned_.process, 10);
            ended_ = true;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ended_ = true;
    return status;
}

std::string Child::output() { return platform::read_to_end(spawned_.output.get()); }

int run_child(const std::vector<std::string>& args) {
    const std::vector<std::string> f = read_argument_block();
    if (f.empty()) return 10;
    try {
        const std::string& role = f[0];
        if (role == "echo") return echo(f, args);
        if (role == "socket") return send_message(f);
        if (role == "meet") return meet(f);
        if (role == "hold") return hold(f);
        if (role == "frame") return write_frame(f);
        if (role == "creator") return make_block(f);
        if (role == "encoder") return run_encoder_worker(f);
        if (role == "screenshot") return run_screenshot_worker(f);
        return 11;
    } catch (const std::exception& e) {
        platform::write_all(platform::standard_output(), std::string("child failed: ") + e.what());
        return 12;
    }
}

}  // namespace native_test
