// What the environment does to a program never loses work or passes for
// success: closed or full standard output, closed pipes, termination signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "program_test.h"

namespace {

using test_support::Launch;
using test_support::lines_of;
using test_support::lines_starting;
using test_support::Process;
using test_support::read_file;
using test_support::Result;
using test_support::split_lines;
using test_support::Stdout;
using test_support::write_file;
using namespace std::chrono_literals;

constexpr std::uintmax_t kCaptureBytes = 80'000'000;

// A run of each program that ends well, and the last calls it makes.
struct Scenario {
    const char* name;
    const char* bin;
    std::vector<std::string> args;
    std::vector<std::string> tail;
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

const Scenario kScenarios[] = {
    {"twin_capture",
     TWIN_CAPTURE_BIN,
     {},
     {"orlix_enable_module(dev, 0, false) -> 0", "orlix_enable_module(dev, 2, false) -> 0",
      "orlix_close(dev)"}},
    {"burst_sender",
     BURST_SENDER_BIN,
     {"-n", "3"},
     {"orlix_enable_module(dev, 1, false) -> 0", "orlix_close(dev)"}},
    {"image_reloader",
     IMAGE_RELOADER_BIN,
     {"-d", "sim", "-f", "image.rbf"},
     {"orlix_set_sample_rate(dev, 0, 10000000, NULL) -> 0", "orlix_close(dev)"}},
    {"refswitch_soak",
     REFSWITCH_SOAK_BIN,
     {"-i", "3"},
     {"orlix_set_clock_select(dev, 0) -> 0", "orlix_close(dev)"}},
};

class Robustness : public test_support::ProgramTest {
protected:
    void SetUp() override { write_file(dir / "image.rbf", "image"); }

    // The trace ends with `tail`, and the device was closed exactly once.
    void expect_closed_in_order(const std::vector<std::string>& tail) const {
        const std::vector<std::string> t = trace();
        ASSERT_GE(t.size(), tail.size());
        EXPECT_EQ(std::vector<std::string>(t.end() - static_cast<long>(tail.size()), t.end()),
                  tail);
        EXPECT_EQ(std::count(t.begin(), t.end(), "orlix_close(dev)"), 1);
    }
};

class OutputFaults : public Robustness, public ::testing::WithParamInterface<Scenario> {};

TEST_P(OutputFaults, FinishTheWorkAndReportTheLostOutputOnce) {
    const Scenario& s = GetParam();
    const std::pair<Stdout, std::string> faults[] = {
        {Stdout::full, "No space left on device"},
        {Stdout::broken_pipe, "Broken pipe"},
    };
    for (const auto& [fault, reason] : faults) {
        SCOPED_TRACE(reason);
        Launch l = launch(s.bin, s.args);
        l.stdout_to = fault;
        const Result r = test_support::run(l);
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(lines_starting(r.err, s.bin),
                  lines_of({std::string(s.bin) + ": error writing standard output: " + reason}));
        expect_closed_in_order(s.tail);
        if (s.bin == std::string(TWIN_CAPTURE_BIN)) {
            EXPECT_EQ(std::filesystem::file_size(dir / "dual_test.bin"), kCaptureBytes)
                << "the capture is still written whole";
        }
        clear_trace();
    }
}

TEST_P(OutputFaults, ClosedStandardOutputTakesNoFileOfTheProgram) {
    const Scenario& s = GetParam();
    Launch l = launch(s.bin, s.args);
    l.stdout_to = Stdout::closed;
    const Result r = test_support::run(l);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    expect_closed_in_order(s.tail);  // the trace was not written to descriptor 1
    if (s.bin == std::string(TWIN_CAPTURE_BIN)) {
        EXPECT_EQ(std::filesystem::file_size(dir / "dual_test.bin"), kCaptureBytes)
            << "no preview in the capture";
    }
}

INSTANTIATE_TEST_SUITE_P(EachProgram, OutputFaults, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// A termination signal at a given moment: the call in progress completes, the
// program cleans up, says "Interrupted" and dies by that signal.
struct SignalCase {
    const char* name;
    const char* bin;
    std::vector<std::string> args;
    const char* delay_ms;
    const char* moment;  // a trace line's text that marks when to send it
    int sig;
    std::vector<std::string> tail;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class TerminationSignals : public Robustness, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(TerminationSignals, EndTheRunInOrderAndDieByTheSignal) {
    const SignalCase& c = GetParam();
    write_file(dir / "dual_test.bin", "earlier capture");
    Process p(launch(c.bin, c.args, {{"ORLIX_SIM_DELAY_MS", c.delay_ms}}));
    ASSERT_TRUE(wait_for_trace(c.moment, 20s));
    const auto sent = std::chrono::steady_clock::now();
    p.send_signal(c.sig);
    const Result r = p.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s) << "waits and loops end early";
    EXPECT_EQ(r.term_signal, c.sig) << r.err;
    EXPECT_EQ(lines_starting(r.err, "Interrupted"), lines_of({"Interrupted"}));
    EXPECT_EQ(lines_starting(r.out, "Sample Preview"), lines_of({}));
    expect_closed_in_order(c.tail);
    EXPECT_EQ(read_file(dir / "dual_test.bin"), "earlier capture");
    EXPECT_EQ(test_support::files_starting(dir.path(), "dual_test.bin."), lines_of({}));
}

const std::vector<std::string> kTwinCleanup = kScenarios[0].tail;

INSTANTIATE_TEST_SUITE_P(
    AtSeveralMoments, TerminationSignals,
    ::testing::Values(SignalCase{"twin_capture_setup",
                                 TWIN_CAPTURE_BIN,
                                 {},
                                 "100",
                                 "orlix_sync_config",
                                 SIGINT,
                                 kTwinCleanup},
                      SignalCase{"twin_capture_pause",
                                 TWIN_CAPTURE_BIN,
                                 {},
                                 "0",
                                 "orlix_sync_rx",
                                 SIGTERM,
                                 kTwinCleanup},
                      SignalCase{"burst_sender_packets",
                                 BURST_SENDER_BIN,
                                 {"-n", "100000", "-s", "16"},
                                 "20",
                                 "orlix_sync_tx",
                                 SIGHUP,
                                 {"orlix_enable_module(dev, 1, false) -> 0", "orlix_close(dev)"}},
                      SignalCase{"image_reloader_load",
                                 IMAGE_RELOADER_BIN,
                                 {"-d", "sim", "-f", "image.rbf"},
                                 "300",
                                 "orlix_open(\"sim\") -> 0",
                                 SIGTERM,
                                 {"orlix_load_fpga(dev, \"image.rbf\") -> 0", "orlix_close(dev)"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Robustness, SecondSignalEndsAtOnce) {
    Process p(launch(IMAGE_RELOADER_BIN, {"-d", "sim"}, {{"ORLIX_SIM_DELAY_MS", "3000"}}));
    ASSERT_TRUE(p.wait_for_output("Opening device...", 10s));
    p.send_signal(SIGINT);
    std::this_thread::sleep_for(100ms);
    p.send_signal(SIGTERM);
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(trace(), lines_of({"orlix_log_set_verbosity(4)"})) << "killed inside the open";
}

TEST_F(Robustness, SignalIgnoredAtStartStaysIgnored) {
    Launch l = launch(IMAGE_RELOADER_BIN, {"-d", "sim", "-f", "image.rbf"},
                      {{"ORLIX_SIM_DELAY_MS", "100"}});
    l.ignored_signals = {SIGHUP};
    Process p(l);
    ASSERT_TRUE(wait_for_trace("orlix_open", 10s));
    p.send_signal(SIGHUP);
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(split_lines(r.out).back(), "Passed!");
}

}  // namespace
