#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "program_fixture.h"
#include "program_models.h"

namespace {

using test_support::lines_of;
using test_support::lines_starting;
using test_support::Process;
using test_support::read_lines;
using test_support::Result;
using test_support::split_lines;
using test_support::operator+;
using test_support::write_file;
using namespace std::chrono_literals;

const std::string kHandlerText = "\nSIGINT caught. Closing test...";
const std::regex kReport(
    R"(Error at .*refswitch_soak/src/main\.cpp:(\d+) \(main\): Status (-?\d+))");

std::vector<std::string> echo(const std::string& iterations, const std::string& device = "auto",
                              const std::string& file = "None", bool reopen = false,
                              bool power = false) {
    return {"Iterations:  " + iterations, "Device str:  " + device, "FPGA file:   " + file,
            std::string("Force reopen:  ") + (reopen ? "true" : "false"),
            std::string("Power reset: ") + (power ? "true" : "false")};
}

const std::vector<std::string> kSwitch = {"orlix_set_clock_select(dev, 1) -> 0",
                                          "orlix_set_clock_select(dev, 0) -> 0"};

// The line numbers and statuses of the failed-check reports in `err`.
std::vector<std::pair<int, int>> reports(const std::string& err) {
    std::vector<std::pair<int, int>> out;
    for (const std::string& line : lines_starting(err, "Error at")) {
        std::smatch m;
        if (std::regex_match(line, m, kReport)) out.emplace_back(std::stoi(m[1]), std::stoi(m[2]));
    }
    return out;
}

class RefswitchSoak : public test_support::ProgramTest {
protected:
    // The program runs in work/, so the power-toggle script's relative path
    // lands inside this test's folder.
    void SetUp() override { std::filesystem::create_directory(dir / "work"); }
    test_support::Launch soak(std::vector<std::string> args,
                              std::map<std::string, std::string> env = {}) const {
        test_support::Launch s = launch(REFSWITCH_SOAK_BIN, std::move(args), std::move(env));
        s.cwd = dir / "work";
        return s;
    }
    Result run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        return test_support::run(soak(std::move(args), std::move(env)));
    }
    // A turn.sh that logs each call to toggle.log and runs `body`.
    void power_script(const std::string& body) const {
        const auto folder = dir / "libraries/libOrlix_test/common/arduino/power-toggle";
        std::filesystem::create_directories(folder);
        write_file(folder / "turn.sh", "#!/bin/sh\necho \"$1\" >> '" +
                                           (dir / "toggle.log").string() + "'\n" + body + "\n");
        std::filesystem::permissions(folder / "turn.sh", std::filesystem::perms::owner_all);
    }
    std::vector<std::string> toggles() const { return read_lines(dir / "toggle.log"); }
};

TEST_F(RefswitchSoak, DefaultsRunAHundredIterations) {
    const Result r = run({});
    EXPECT_EQ(r.exit_code, 0);
    const std::vector<std::string> out = split_lines(r.out);
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 5), echo("100"));
    EXPECT_EQ(out[5], "Failures: 0/1 of 100");
    EXPECT_EQ(out[out.size() - 2], "");
    EXPECT_EQ(out.back(), "Failures: 0/100");
    EXPECT_EQ(trace().size(), 2u + 200u);
}

TEST_F(RefswitchSoak, ThreeCleanIterations) {
    const Result r = run({"--iterations", "3"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    // The first iteration reports progress; a later one only in a new second.
    EXPECT_EQ(split_lines(r.out)[5], "Failures: 0/1 of 3");
    EXPECT_EQ(test_support::modelled_out(r.out), echo("3") + lines_of({"", "Failures: 0/3"}));
    EXPECT_EQ(trace(), lines_of({"orlix_open(NULL) -> 0"}) + kSwitch + kSwitch + kSwitch +
                           lines_of({"orlix_close(dev)"}));
}

TEST_F(RefswitchSoak, IterationCountsReadLikeAtoiButClamped) {
    const std::pair<const char*, const char*> accepted[] = {
        {"5x", "5"},
        {" +7", "7"},
        {"-1", "18446744073709551615"},
        {"99999999999", "2147483647"},
        {"-99999999999", "18446744071562067968"},
    };
    for (const auto& [arg, echoed] : accepted) {
        SCOPED_TRACE(arg);
        // The image load fails in the first iteration and ends the run.
        const Result r = run({"-i", arg, "-l", "missing.rbf"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(split_lines(r.out),
                  echo(echoed, "auto", "missing.rbf") +
                      lines_of({"Failures: 0/1 of " + std::string(echoed), "", "Failures: 0/1"}));
        EXPECT_EQ(reports(r.err).size(), 1u) << r.err;
    }
    Result r = run({"-i", "5x"});
    EXPECT_EQ(split_lines(r.out).back(), "Failures: 0/5");

    for (const char* arg : {"0", "abc", "", "-0", "x5"}) {
        SCOPED_TRACE(arg);
        clear_trace();
        r = run({"-i", arg, "-h"});
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Invalid number of iterations: " + std::string(arg) + "\n");
        EXPECT_EQ(trace(), lines_of({}));
    }
}

TEST_F(RefswitchSoak, EveryOptionIsEchoed) {
    write_file(dir / "work/image.rbf", "image");
    power_script("exit 0");
    const Result r = run({"-d", "sim:1", "--load=image.rbf", "-i", "2", "--power_reset", "-r"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out)[5], "Failures: 0/1 of 2");
    EXPECT_EQ(test_support::modelled_out(r.out),
              echo("2", "sim:1", "image.rbf", true, true) + lines_of({"", "Failures: 0/2"}));
    const std::vector<std::string> iteration = {"orlix_open(\"sim:1\") -> 0",
                                                "orlix_load_fpga(dev, \"image.rbf\") -> 0",
                                                kSwitch[0], kSwitch[1], "orlix_close(dev)"};
    EXPECT_EQ(trace(), iteration + iteration);
    EXPECT_EQ(toggles(), (lines_of({"off", "on", "off", "on"})));
}

TEST_F(RefswitchSoak, UsageAndHelp) {
    const std::string prog = REFSWITCH_SOAK_BIN;
    Result r = run({"-v", "-h", "--bogus"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Setting verbosity to verbose\n");
    const std::vector<std::string> usage = split_lines(r.err);
    ASSERT_EQ(usage.size(), 9u);
    EXPECT_EQ(usage[0], "Usage: " + prog + " [options]");
    EXPECT_EQ(usage[4],
              "  -i, --iterations <num>   Specify the number of test iterations (default 100)");
    EXPECT_EQ(usage[8], "  -h, --help               Display this help message and exit");
    EXPECT_EQ(trace(), lines_of({"orlix_log_set_verbosity(0)"}));

    r = run({"-x"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(split_lines(r.err), lines_of({prog + ": illegal option -- x"}) + usage);

    r = run({"--device"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(split_lines(r.err)[0], prog + ": option requires an argument -- device");
}

TEST_F(RefswitchSoak, FailedReopenEndsTheRunInThatIteration) {
    const Result r = run({"-i", "3"}, {{"ORLIX_SIM_FAIL", "set_clock_select@4,open@2=-4"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(split_lines(r.out).back(), "Failures: 1/2");
    ASSERT_EQ(reports(r.err).size(), 1u);
    EXPECT_EQ(reports(r.err)[0].second, -4);
    const std::vector<std::string> t = trace();
    EXPECT_EQ(t.back(), "orlix_open(NULL) -> -4") << "nothing left open to close";
    EXPECT_EQ(t[t.size() - 2], "orlix_close(dev)");
}

TEST_F(RefswitchSoak, EachCheckHasItsOwnLine) {
    write_file(dir / "work/image.rbf", "image");
    power_script("exit 0");
    struct Case {
        std::vector<std::string> args;
        const char* rule;
        int status;
    };
    const Case cases[] = {
        {{"-i", "2"}, "open=-4", -4},                            // the first open
        {{"-i", "2", "-p"}, "", 0},                              // power command, below
        {{"-i", "2", "-r"}, "open@2=-5", -5},                    // the reopen
        {{"-i", "2", "-l", "image.rbf"}, "load_fpga@2=-8", -8},  // the image load
        {{"-i", "2"}, "set_clock_select@1,open@2=-6", -6},       // reopen after a failure
    };
    std::vector<int> lines;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        if (std::string(c.rule).empty()) power_script("exit 3");
        const Result r = run(c.args, {{"ORLIX_SIM_FAIL", c.rule}});
        if (std::string(c.rule).empty()) power_script("exit 0");
        EXPECT_EQ(r.exit_code, 1);
        const auto found = reports(r.err);
        ASSERT_EQ(found.size(), 1u) << r.err;
        EXPECT_EQ(found[0].second, c.rule[0] ? c.status : 3 << 8) << "a script's raw wait status";
        lines.push_back(found[0].first);
    }
    std::vector<int> sorted = lines;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end()) << "five distinct lines";
}

TEST_F(RefswitchSoak, FailingPowerScriptEndsTheLoopInTheFirstIteration) {
    power_script("[ \"$1\" = off ] && exit 3\nexit 0");
    const Result r = run({"-i", "5", "-p"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(split_lines(r.out), echo("5", "auto", "None", false, true) +
                                      lines_of({"Failures: 0/1 of 5", "", "Failures: 0/1"}));
    ASSERT_EQ(reports(r.err).size(), 1u);
    EXPECT_EQ(reports(r.err)[0].second, 768);
    EXPECT_EQ(toggles(), lines_of({"off"}));
    EXPECT_EQ(trace(), (lines_of({"orlix_open(NULL) -> 0", "orlix_close(dev)"})));
}

TEST_F(RefswitchSoak, InterruptDuringThePowerScriptIsKeptAndSparesTheScript) {
    power_script("echo \"turning $1\"\n[ \"$1\" = off ] && sleep 1\nexit 0");
    test_support::Launch s = soak({"-i", "-1", "-p"});
    s.own_process_group = true;
    Process p(s);
    ASSERT_TRUE(p.wait_for_output("turning off", 10s));
    p.send_signal(SIGINT, /*to_group=*/true);  // as Ctrl-C in a terminal would
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, kHandlerText);
    EXPECT_EQ(toggles(), (lines_of({"off", "on"}))) << "the script ran to its end";
    EXPECT_EQ(split_lines(r.out).back(), "Failures: 0/1");
    EXPECT_EQ(trace(),
              lines_of({"orlix_open(NULL) -> 0"}) + kSwitch + lines_of({"orlix_close(dev)"}));
}

// Ctrl-C ends the run as the operator asked: its status says how the soak went.
// SIGTERM and SIGHUP come from a supervisor: the run is summed up, then the
// program dies by that signal, so that a cut-short soak never reads as a pass.
TEST_F(RefswitchSoak, InterruptTermOrHangupFinishesTheIteration) {
    const std::pair<int, const char*> signals[] = {
        {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& [sig, name] : signals) {
        SCOPED_TRACE(name);
        clear_trace();
        Process p(soak({"-i", "100"}, {{"ORLIX_SIM_DELAY_MS", "100"}}));
        ASSERT_TRUE(p.wait_for_output("Failures: 0/1 of 100", 10s));
        p.send_signal(sig);
        const Result r = p.wait();
        if (sig == SIGINT) {
            EXPECT_EQ(r.term_signal, 0);
            EXPECT_EQ(r.exit_code, 0);
        } else {
            EXPECT_EQ(r.term_signal, sig);
        }
        EXPECT_EQ(r.err, std::string("\n").append(name).append(" caught. Closing test..."));
        const std::vector<std::string> t = trace();
        // Whole iterations only: the open, pairs of clock selects, the close.
        ASSERT_GE(t.size(), 4u);
        EXPECT_EQ(t.size() % 2, 0u);
        const std::size_t completed = (t.size() - 2) / 2;
        for (std::size_t i = 0; i < completed; ++i) {
            EXPECT_EQ(t[1 + 2 * i], kSwitch[0]);
            EXPECT_EQ(t[2 + 2 * i], kSwitch[1]);
        }
        EXPECT_LT(completed, 100u);
        EXPECT_EQ(t.back(), "orlix_close(dev)");
        EXPECT_EQ(split_lines(r.out).back(), "Failures: 0/" + std::to_string(completed));
    }
}

TEST_F(RefswitchSoak, InterruptDuringTheReopenWaitStillReopensAndCounts) {
    Process p(soak({"-i", "100"}, {{"ORLIX_SIM_FAIL", "set_clock_select@1"}}));
    ASSERT_TRUE(p.wait_for_output("Attempting to reopen device...", 10s));
    p.send_signal(SIGINT);
    const Result r = p.wait();
    EXPECT_EQ(r.exit_code, 1) << "a failure was counted";
    EXPECT_NE(r.err.find(kHandlerText), std::string::npos);
    EXPECT_EQ(split_lines(r.out).back(), "Failures: 1/1");
    EXPECT_EQ(trace(),
              (lines_of({"orlix_open(NULL) -> 0", "orlix_set_clock_select(dev, 1) -> -1",
                         "orlix_close(dev)", "orlix_open(NULL) -> 0", "orlix_close(dev)"})));
}

TEST_F(RefswitchSoak, SecondInterruptEndsAtOnce) {
    Process p(soak({"-i", "100"}, {{"ORLIX_SIM_DELAY_MS", "300"}}));
    ASSERT_TRUE(p.wait_for_output("Failures: 0/1 of 100", 10s));
    p.send_signal(SIGINT);
    ASSERT_TRUE(p.wait_for_output("Closing test...", 10s));
    p.send_signal(SIGHUP);  // any of the three
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, SIGHUP);
    EXPECT_EQ(r.out.find("\n\nFailures: "), std::string::npos) << "no summary";
}

}  // namespace
