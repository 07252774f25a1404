// The native test program, built for Linux and for Windows from the same sources. Run with
// `--child` it is the started copy of the hand-over tests (or a worker of the stream run); with
// `--stream` the server's side of an end-to-end stream run; otherwise doctest runs the cases.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "handover.hpp"
#include "program.hpp"
#include "stream_run.hpp"

namespace native_test {
std::string program_path;

// Names each case as it starts, at once (a pipe's output is otherwise held until the exit): a
// run that is killed at its time limit shows the case it was in.
struct CaseStarts : doctest::IReporter {
    explicit CaseStarts(const doctest::ContextOptions&) {}
    void test_case_start(const doctest::TestCaseData& data) override {
        std::fprintf(stderr, "[case] %s\n", data.m_name);
        std::fflush(stderr);
    }
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override {}
    void test_case_reenter(const doctest::TestCaseData&) override {}
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature&) override {}
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};
REGISTER_LISTENER("case_starts", 1, CaseStarts);
}  // namespace native_test

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
        return native_test::run_child(std::vector<std::string>(argv + 2, argv + argc));
    native_test::program_path = argv[0];
    native_test::start_sockets();
    if (argc >= 2 && std::strcmp(argv[1], "--stream") == 0)
        return native_test::run_stream(std::vector<std::string>(argv + 2, argv + argc));
    doctest::Context context(argc, argv);
    return context.run();
}
