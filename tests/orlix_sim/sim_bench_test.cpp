// The programs on a bench of simulated boards: each opens the board it is
// pointed at (-d first, then ORLIX_DEVICE), and a board held by one program
// is busy for another until the holder is gone, however it ended.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "process.h"
#include "program_fixture.h"

namespace {

using test_support::Process;
using test_support::Result;
using namespace std::chrono_literals;

class SimBench : public test_support::ProgramTest {
protected:
    void SetUp() override { test_support::write_file(dir / "image.rbf", "image"); }
    // The bench's controls beside `env`; holds kept in this test's folder.
    std::map<std::string, std::string> bench(std::map<std::string, std::string> env = {}) const {
        env["ORLIX_SIM_BENCH"] = "A,B,C";
        env["ORLIX_SIM_BENCH_DIR"] = (dir / "holds").string();
        return env;
    }
    // The open calls of the trace, from the first line.
    std::vector<std::string> opens() const {
        std::vector<std::string> out;
        for (const std::string& line : trace()) {
            if (line.find("orlix_open(") != std::string::npos) out.push_back(line);
        }
        return out;
    }
};

TEST_F(SimBench, EachProgramOpensTheBoardItIsPointedAt) {
    const struct {
        const char* bin;
        std::vector<std::string> args;
        const char* environment_device;
        const char* opened;
    } cases[] = {
        {TWIN_CAPTURE_BIN, {}, "sim:B", "[B] orlix_open(\"sim:B\") -> 0"},
        {TWIN_CAPTURE_BIN, {}, "", "[A] orlix_open(NULL) -> 0"},
        {BURST_SENDER_BIN, {"-n", "1"}, "sim:C", "[C] orlix_open(\"sim:C\") -> 0"},
        {BURST_SENDER_BIN, {"-n", "1", "-d", "sim:A"}, "sim:C", "[A] orlix_open(\"sim:A\") -> 0"},
        {BURST_SENDER_BIN, {"-n", "1"}, nullptr, "[A] orlix_open(NULL) -> 0"},
        {REFSWITCH_SOAK_BIN, {"-i", "1"}, "sim:B", "[B] orlix_open(\"sim:B\") -> 0"},
        {REFSWITCH_SOAK_BIN, {"-i", "1", "-d", "sim:C"}, "sim:B", "[C] orlix_open(\"sim:C\") -> 0"},
        {IMAGE_RELOADER_BIN, {"-f", "image.rbf"}, "sim:C", "[C] orlix_open(\"sim:C\") -> 0"},
        {IMAGE_RELOADER_BIN,
         {"-d", "sim:B", "-f", "image.rbf"},
         "sim:C",
         "[B] orlix_open(\"sim:B\") -> 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bin) + " " +
                     (c.environment_device ? c.environment_device : "-"));
        clear_trace();
        std::map<std::string, std::string> env = bench();
        if (c.environment_device) env["ORLIX_DEVICE"] = c.environment_device;
        const Result r = run(c.bin, c.args, env);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_EQ(opens(), std::vector<std::string>{c.opened});
    }
    // Without -d or ORLIX_DEVICE, image_reloader still refuses.
    const Result r = run(IMAGE_RELOADER_BIN, {"-f", "image.rbf"}, bench({{"ORLIX_DEVICE", ""}}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "No device specified.\n");
}

TEST_F(SimBench, ABoardHeldByOneProgramIsBusyForAnotherUntilTheHolderIsGone) {
    Process holder(launch(REFSWITCH_SOAK_BIN, {"-d", "sim:A", "-i", "1"},
                          bench({{"ORLIX_SIM_HANG", "set_clock_select@1"}})));  // for ever
    ASSERT_TRUE(wait_for_trace("[A] orlix_open", 10s));

    const Result capture = run(TWIN_CAPTURE_BIN, {}, bench({{"ORLIX_DEVICE", "sim:A"}}));
    EXPECT_EQ(capture.exit_code, 1);
    EXPECT_NE(capture.err.find("Failed at orlix_open(&dev, devstr): Device already open\n"),
              std::string::npos)
        << capture.err;
    const Result send = run(BURST_SENDER_BIN, {"-d", "sim:A", "-n", "1"}, bench());
    EXPECT_EQ(send.exit_code, 1);
    const Result reload =
        run(IMAGE_RELOADER_BIN, {"-f", "image.rbf"}, bench({{"ORLIX_DEVICE", "sim:A"}}));
    EXPECT_EQ(reload.exit_code, 256 - 6) << "the busy status, as its failure rules say";
    EXPECT_NE(reload.err.find("): Status -6\n"), std::string::npos) << reload.err;
    const Result other = run(BURST_SENDER_BIN, {"-d", "sim:B", "-n", "1"}, bench());
    EXPECT_EQ(other.exit_code, 0) << "another board is free";

    holder.send_signal(SIGKILL);
    EXPECT_EQ(holder.wait().term_signal, SIGKILL);
    const Result after = run(BURST_SENDER_BIN, {"-d", "sim:A", "-n", "1"}, bench());
    EXPECT_EQ(after.exit_code, 0) << after.err;
}

}  // namespace
