// What the environment does to a program never loses work or passes for
// success: closed or full standard output, closed pipes, termination signals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "program_fixture.h"
#include "program_models.h"

namespace {

using test_support::Launch;
using test_support::lines_of;
using test_support::lines_starting;
using test_support::operator+;
using test_support::Process;
using test_support::read_file;
using test_support::Result;
using test_support::SmallDisk;
using test_support::split_lines;
using test_support::Stdout;
using test_support::write_file;
using namespace std::chrono_literals;

using test_support::kCaptureBytes;

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
     test_support::clean_trace_tail(test_support::twin_capture_model, 3)},
    {"burst_sender",
     BURST_SENDER_BIN,
     {"-n", "3"},
     test_support::clean_trace_tail(test_support::burst_sender_model({40, 17, 43}, 0), 2)},
    {"image_reloader",
     IMAGE_RELOADER_BIN,
     {"-d", "sim", "-f", "image.rbf"},
     test_support::clean_trace_tail(test_support::image_reloader_model, 2)},
    {"refswitch_soak",
     REFSWITCH_SOAK_BIN,
     {"-i", "3"},
     test_support::clean_trace_tail(test_support::refswitch_soak_model(3, false), 2)},
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
    const bool capture = s.bin == std::string(TWIN_CAPTURE_BIN);
    for (const auto& [fault, reason] : faults) {
        SCOPED_TRACE(reason);
        if (capture) write_file(dir / "dual_test.bin", "earlier capture");
        Launch l = launch(s.bin, s.args);
        l.stdout_to = fault;
        const Result r = test_support::run(l);
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(lines_starting(r.err, s.bin),
                  lines_of({std::string(s.bin) + ": error writing standard output: " + reason}));
        expect_closed_in_order(s.tail);
        if (capture) {
            EXPECT_EQ(read_file(dir / "dual_test.bin"), "earlier capture")
                << "a preview nobody got fails the run before the capture is replaced";
            EXPECT_EQ(test_support::files_starting(dir.path(), "dual_test.bin."), lines_of({}));
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
    // Into the next call's delay, however slowly a loaded machine runs the child.
    std::this_thread::sleep_for(50ms);
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
                                 "600",
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

// ---- where the capture goes: links, FIFOs, kills, folders that take no file ----

class CaptureFile : public Robustness {
protected:
    // Runs twin_capture until `moment` shows in the trace and sends it `sig`;
    // the run must end within a second, by that signal, with the device closed.
    void stop_at(const char* moment, int sig, const std::string& output_needle = "") {
        Process p(launch(TWIN_CAPTURE_BIN));
        ASSERT_TRUE(wait_for_trace(moment, 20s));
        if (!output_needle.empty()) {
            ASSERT_TRUE(p.wait_for_output(output_needle, 20s));
        }
        std::this_thread::sleep_for(300ms);  // into the wait that follows
        const auto sent = std::chrono::steady_clock::now();
        p.send_signal(sig);
        const Result r = p.wait();
        EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
        EXPECT_EQ(r.term_signal, sig) << r.err;
        expect_closed_in_order(kScenarios[0].tail);
    }
    std::vector<std::string> leftovers(const std::filesystem::path& folder) const {
        return test_support::files_starting(folder, "dual_test.bin.") +
               test_support::files_starting(folder, "run42.bin.");
    }
};

TEST_F(CaptureFile, LinkedCaptureIsKeptUntilTheNewOneIsWholeThenReplacedThroughTheLink) {
    std::filesystem::create_directory(dir / "data");
    const std::string earlier(8000, '\x5a');
    write_file(dir / "data/run42.bin", earlier);
    std::filesystem::create_symlink("data/run42.bin", dir / "dual_test.bin");

    stop_at("orlix_sync_rx", SIGTERM);
    EXPECT_EQ(read_file(dir / "data/run42.bin"), earlier);

    clear_trace();
    const Result r = run(TWIN_CAPTURE_BIN);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(std::filesystem::read_symlink(dir / "dual_test.bin"), "data/run42.bin");
    EXPECT_EQ(std::filesystem::file_size(dir / "data/run42.bin"), kCaptureBytes);
    EXPECT_EQ(leftovers(dir / "data") + leftovers(dir.path()), lines_of({}));
}

TEST_F(CaptureFile, FullDiskBehindALinkKeepsTheEarlierCapture) {
    SmallDisk disk(dir / "small", "40m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a small tmpfs needs privileges";
    write_file(dir / "small/run42.bin", "earlier capture");
    std::filesystem::create_symlink("small/run42.bin", dir / "dual_test.bin");
    const Result r = run(TWIN_CAPTURE_BIN);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines_starting(r.err, "Failed"),
              lines_of({"Failed to write to file: No space left on device"}));
    EXPECT_EQ(read_file(dir / "small/run42.bin"), "earlier capture");
    EXPECT_EQ(leftovers(dir / "small"), lines_of({}));
}

TEST_F(CaptureFile, FifoWithoutAReaderOrWithAStoppedOneEndsByOneSignal) {
    ASSERT_EQ(mkfifo((dir / "dual_test.bin").c_str(), 0600), 0);
    {
        SCOPED_TRACE("no reader");
        stop_at("orlix_sync_rx", SIGTERM);
    }
    {
        SCOPED_TRACE("a reader that stops reading");
        clear_trace();
        const int reader = open((dir / "dual_test.bin").c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        stop_at("orlix_sync_rx", SIGTERM, "Sample Preview:");
        close(reader);
    }
}

TEST_F(CaptureFile, KillLeavesNoFileBesideTheCapture) {
    for (const bool in_write : {false, true}) {
        SCOPED_TRACE(in_write ? "during the write" : "in the wait");
        write_file(dir / "dual_test.bin", "earlier capture");
        clear_trace();
        Process p(launch(TWIN_CAPTURE_BIN));
        ASSERT_TRUE(wait_for_trace("orlix_sync_rx", 20s));
        if (in_write) {
            ASSERT_TRUE(p.wait_for_output("Sample Preview:", 20s));
        } else {
            std::this_thread::sleep_for(300ms);
        }
        p.send_signal(SIGKILL);
        EXPECT_EQ(p.wait().term_signal, SIGKILL);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, lines_of({"dual_test.bin", "image.rbf", "trace.log"}));
        const auto size = std::filesystem::file_size(dir / "dual_test.bin");
        EXPECT_TRUE(size == kCaptureBytes || read_file(dir / "dual_test.bin") == "earlier capture")
            << "whole, or the earlier one: " << size << " bytes";
    }
}

TEST_F(CaptureFile, FolderThatTakesNoNewFileHasTheCaptureRewrittenInPlace) {
    write_file(dir / "dual_test.bin", "earlier capture");
    write_file(trace_path(), "");
    std::filesystem::permissions(dir / "dual_test.bin", std::filesystem::perms(0666));
    std::filesystem::permissions(trace_path(), std::filesystem::perms(0666));
    Launch l = launch(TWIN_CAPTURE_BIN);
    if (geteuid() == 0) {
        l.user = 65534;  // root may write anywhere: run as nobody in a folder of root's
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    } else {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0555));
    }
    Result r = test_support::run(l);
    if (r.exit_code == 125 || r.exit_code == 126 || r.exit_code == 127) {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
        GTEST_SKIP() << "the build is out of an unprivileged user's reach";
    }
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "dual_test.bin"), kCaptureBytes);

    // Not writable either: refused with the reason, and left as it was.
    std::filesystem::permissions(dir / "dual_test.bin", std::filesystem::perms(0444));
    r = test_support::run(l);
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("\nFailed to open file for writing\ndual_test.bin: Permission denied\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "dual_test.bin"), kCaptureBytes);
}

TEST_F(Robustness, SignalDuringTheStreamSetUpStopsAfterTheCallInProgress) {
    Process p(launch(TWIN_CAPTURE_BIN, {}, {{"ORLIX_SIM_DELAY_MS", "500"}}));
    ASSERT_TRUE(wait_for_trace("orlix_sync_config", 20s));
    p.send_signal(SIGTERM);
    EXPECT_EQ(p.wait().term_signal, SIGTERM);
    EXPECT_EQ(trace(), lines_of({"orlix_log_set_verbosity(1)", "orlix_open(NULL) -> 0",
                                 "orlix_sync_config(dev, 2, 0, 5120, 16384, 64, 3500) -> 0",
                                 "orlix_set_frequency(dev, 0, 915000000) -> 0"}) +
                           kScenarios[0].tail);
}

TEST_P(OutputFaults, NoStandardDescriptorAndNoDevNullMeansNoRun) {
    const Scenario& s = GetParam();
    // A broken container: no /dev/null, in a mount namespace of the child's own.
    const char* script = "mount -t tmpfs none /dev && exec \"$0\" \"$@\"";
    if (run("/usr/bin/unshare", {"-m", "sh", "-c", "mount -t tmpfs none /dev"}).exit_code != 0) {
        GTEST_SKIP() << "no mount namespace here";
    }
    std::vector<std::string> args = {"-m", "sh", "-c", script, s.bin};
    args.insert(args.end(), s.args.begin(), s.args.end());
    Launch l = launch("/usr/bin/unshare", args);
    l.stdout_to = Stdout::closed;
    const Result r = test_support::run(l);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::string(s.bin) +
                         ": a standard descriptor is closed and /dev/null cannot take its "
                         "place: No such file or directory\n");
    EXPECT_EQ(trace(), lines_of({})) << "stopped before any library call";
    EXPECT_FALSE(std::filesystem::exists(dir / "dual_test.bin"));
}

}  // namespace
