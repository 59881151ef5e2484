// station_run end to end on the simulated device: verdicts and exit statuses,
// deadlines, aborts, kills and resumption, bad sequences, and the record and
// JUnit against their schemas.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "board_run_fixture.h"
#include "process.h"
#include "program_models.h"
#include "wait.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::lines_of;
using test_support::parse_file;
using test_support::Process;
using test_support::processes_in;
using test_support::read_file;
using test_support::Result;
using test_support::split_lines;
using test_support::step_verdicts;
using test_support::TempDir;
using test_support::write_file;
using namespace std::chrono_literals;

const std::string kQuickStep = R"(
[[step]]
name = "send"
run = ["burst_sender", "-d", "{device}", "-n", "2"]
)";

TEST_F(BoardRun, EachVerdictAndItsExitStatus) {
    Result r = run_station({"-o", "pass", sequence("pass.toml", kQuickStep)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out).back(), "JUnit: " + (dir / "pass/junit.xml").string());
    EXPECT_TRUE(std::regex_match(split_lines(r.out).front(),
                                 std::regex(R"(PASS      send {21} +\d+\.\d s)")))
        << r.out;
    EXPECT_EQ(checked_record(dir / "pass")["verdict"], "PASS");

    // A program that fails (its exit status), a value that is missing, and a
    // step that needs the image that was not given.
    const std::string steps = R"(
[[step]]
name = "failing"
run = ["image_reloader", "-d", "no-such-device"]
[[step]]
name = "missing"
run = ["burst_sender", "-d", "{device}", "-n", "1"]
  [[step.measure]]
  name = "dwords"
  stdout = 'never (\d+) printed'
[[step]]
name = "reload"
run = ["image_reloader", "-d", "{device}", "-f", "{image}"]
requires = ["image"]
)";
    r = run_station({"-o", "mixed", sequence("mixed.toml", steps)});
    EXPECT_EQ(r.exit_code, 2) << "ERROR beats FAIL";
    const json rec = checked_record(dir / "mixed");
    EXPECT_EQ(step_verdicts(rec), lines_of({"failing FAIL", "missing ERROR", "reload SKIPPED"}));
    EXPECT_EQ(rec["verdict"], "ERROR");
    const json& missing = rec["steps"][1]["attempts"][0]["measurements"][1];
    EXPECT_TRUE(missing["value"].is_null());
    EXPECT_EQ(missing["verdict"], "ERROR");
    EXPECT_EQ(rec["steps"][2]["skip_reason"], "no image given (-i)");
    // One line a step: verdict, name, time, and what failed or why it was skipped.
    const std::vector<std::string> out = split_lines(r.out);
    ASSERT_GE(out.size(), 3u) << r.out;
    EXPECT_TRUE(std::regex_match(
        out[0],
        std::regex(R"(FAIL      failing {17} +\d+\.\d s  exit_status = 252, low 0, high 0)")))
        << out[0];
    EXPECT_TRUE(std::regex_match(
        out[2], std::regex(R"(SKIPPED   reload {18} +0\.0 s  no image given \(-i\))")))
        << out[2];
    EXPECT_NE(r.out.find("1 skipped"), std::string::npos);
}

TEST_F(BoardRun, MeasurementsAgainstLimitsWithMarginsAsNumbers) {
    const std::string tone = R"(
  json = "/channels/0/tone_above_floor_db"
  units = "dB"
)";
    const std::string steps = R"(
[[step]]
name = "capture"
run = ["twin_capture"]
[[step]]
name = "checks"
run = ["capture_inspect", "--json", "dual_test.bin"]
  [[step.measure]]
  name = "passes")" + tone + R"(  low = 20
  high = 200
  [[step.measure]]
  name = "marginal")" + tone + R"(  low = 20
  marginal_low = 190
  [[step.measure]]
  name = "fails")" + tone + R"(  low = 190
)";
    const Result r = run_station({"-o", "run", sequence("limits.toml", steps)},
                                 {{"ORLIX_SIM_SIGNAL", "amplitude=300"}});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const json rec = checked_record(dir / "run");
    const json& m = rec["steps"][1]["attempts"][0]["measurements"];
    ASSERT_EQ(m.size(), 4u);
    const double value = m[1]["value"].get<double>();
    EXPECT_GT(value, 40);
    EXPECT_LT(value, 150);
    EXPECT_EQ(m[1]["verdict"], "PASS");
    EXPECT_DOUBLE_EQ(m[1]["margin"].get<double>(), value - 20) << "to the nearer limit";
    EXPECT_DOUBLE_EQ(m[1]["margin_percent"].get<double>(), 100 * (value - 20) / 180);
    EXPECT_EQ(m[2]["verdict"], "MARGINAL");
    EXPECT_TRUE(m[2]["margin_percent"].is_null()) << "one limit: no band";
    EXPECT_EQ(m[3]["verdict"], "FAIL");
    EXPECT_DOUBLE_EQ(m[3]["margin"].get<double>(), value - 190) << "negative outside";
    EXPECT_EQ(rec["steps"][1]["verdict"], "FAIL");
    EXPECT_NE(r.out.find("fails = "), std::string::npos) << r.out;
}

TEST_F(BoardRun, DeadlineEndsAHungStepWithSigtermOrSigkill) {
    const std::string steps = R"(
[[step]]
name = "reload"
run = ["image_reloader", "-d", "{device}", "-f", "{image}"]
timeout_s = 0.5
grace_s = GRACE
)";
    struct Case {
        const char* hang;
        const char* grace;
        int signal;
    };
    for (const Case c : {Case{"set_sample_rate@1:1500", "3", SIGTERM},
                         Case{"set_sample_rate@1", "0.5", SIGKILL}}) {
        SCOPED_TRACE(c.hang);
        clear_trace();
        const std::string folder = std::string("run") + std::to_string(c.signal);
        const auto start = std::chrono::steady_clock::now();
        const Result r = run_station(
            {"-i", "image.rbf", "-o", folder,
             sequence("hang.toml", std::regex_replace(steps, std::regex("GRACE"), c.grace))},
            {{"ORLIX_SIM_HANG", c.hang}});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.exit_code, 3) << r.err;
        const json rec = checked_record(dir / folder);
        const json& attempt = rec["steps"][0]["attempts"][0];
        // The step within its deadline and grace, with room for a loaded
        // machine; the run, process starts included, soon after.
        EXPECT_LT(attempt["duration_s"].get<double>(), 0.5 + std::stod(c.grace) + 3);
        EXPECT_LT(took, 30s);
        EXPECT_EQ(attempt["verdict"], "TIMEOUT");
        EXPECT_EQ(attempt["timed_out"], true);
        EXPECT_EQ(attempt["signal"], c.signal);
        // SIGTERM lets the program close the device once the call returns.
        const std::vector<std::string> t = trace();
        EXPECT_EQ(std::count(t.begin(), t.end(), "orlix_close(dev)"), c.signal == SIGTERM ? 1 : 0);
        EXPECT_TRUE(test_support::nothing_left_in(dir / folder));
    }
}

TEST_F(BoardRun, SignalAbortsTheRunWhichDiesByIt) {
    const std::string steps = R"(
[[step]]
name = "capture"
run = ["twin_capture"]
)" + kQuickStep;
    Process p(station({"-o", "run", sequence("abort.toml", steps)}));
    ASSERT_TRUE(wait_for_trace("orlix_sync_rx", 20s));
    p.send_signal(SIGTERM);
    const Result r = p.wait();
    EXPECT_EQ(r.term_signal, SIGTERM) << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(rec["verdict"], "ABORTED");
    EXPECT_EQ(rec["exit_status"], 2);
    EXPECT_EQ(step_verdicts(rec), lines_of({"capture ABORTED", "send ABORTED"}));
    EXPECT_EQ(rec["steps"][0]["attempts"][0]["signal"], SIGTERM) << "passed on to the step";
    EXPECT_EQ(trace().back(), "orlix_close(dev)") << "the step closed the device";
    EXPECT_NE(read_file(dir / "run/junit.xml").find("type=\"aborted\""), std::string::npos);
}

// Killed at each step boundary and inside steps: the record's lines parse,
// and a resumed run ends as an uninterrupted one does.
TEST_F(BoardRun, KilledAnywhereAndResumedEndsAsIfUninterrupted) {
    const std::string steps = R"(
[[step]]
name = "send"
run = ["burst_sender", "-d", "{device}", "-n", "3"]
[[step]]
name = "reload"
run = ["image_reloader", "-d", "{device}", "-f", "{image}"]
[[step]]
name = "switch"
run = ["refswitch_soak", "-d", "{device}", "-i", "2"]
  [[step.measure]]
  name = "failures"
  stdout = 'Failures: (\d+)/'
  high = 0
[[step]]
name = "send-fixed"
run = ["burst_sender", "-d", "{device}", "-n", "2", "-s", "8"]
)";
    const std::string seq = sequence("kill.toml", steps);
    const std::map<std::string, std::string> slow = {{"ORLIX_SIM_DELAY_MS", "40"}};
    ASSERT_EQ(run_station({"-i", "image.rbf", "-o", "whole", seq}, slow).exit_code, 0);
    const json whole = parse_file(dir / "whole/record.json");

    // After each of 0..4 steps, and 150 ms into the second and fourth.
    struct Moment {
        std::string after;  // the event to wait for
        int count;
        std::chrono::milliseconds later;
    };
    std::vector<Moment> moments;
    for (int k = 0; k <= 4; ++k) {
        moments.push_back(k == 0 ? Moment{"\"run_started\"", 1, 0ms}
                                 : Moment{"\"step_ended\"", k, 0ms});
    }
    moments.push_back({"\"step\":\"reload\",\"attempt\":1", 1, 150ms});
    moments.push_back({"\"step\":\"send-fixed\",\"attempt\":1", 1, 150ms});
    int resumed_alike = 0, boundaries = 0;
    for (std::size_t i = 0; i < moments.size(); ++i) {
        const Moment& m = moments[i];
        SCOPED_TRACE("kill " + std::to_string(i));
        const std::string folder = "killed" + std::to_string(i);
        Process p(station({"-i", "image.rbf", "-o", folder, seq}, slow));
        const auto log = dir / folder / "record.jsonl";
        auto seen = [&] {
            const std::string text = read_file(log);
            int n = 0;
            for (std::size_t at = text.find(m.after); at != std::string::npos;
                 at = text.find(m.after, at + 1)) {
                ++n;
            }
            return n >= m.count;
        };
        test_support::wait_until(seen, 20s, 2ms);
        std::this_thread::sleep_for(m.later);
        p.send_signal(SIGKILL);
        EXPECT_EQ(p.wait().term_signal, SIGKILL);
        EXPECT_TRUE(test_support::nothing_left_in(dir / folder)) << "a step outlived station_run";
        const std::string text = read_file(log);
        for (const std::string& line : split_lines(text.substr(0, text.rfind('\n') + 1))) {
            EXPECT_TRUE(json::accept(line)) << line;
        }
        const bool ended = text.find("\"run_ended\"") != std::string::npos;
        const Result resumed = run_station({"--resume", folder});
        EXPECT_EQ(resumed.exit_code, 0) << resumed.out << resumed.err;
        const json rec = checked_record(dir / folder);
        EXPECT_EQ(rec["resumed"].size(), ended ? 0u : 1u) << "a resumption is noted";
        const bool alike = rec["verdict"] == whole["verdict"] &&
                           step_verdicts(rec) == step_verdicts(whole) &&
                           rec["counts"] == whole["counts"];
        EXPECT_TRUE(alike) << rec.dump(1);
        resumed_alike += alike;
        boundaries += m.later == 0ms;
    }
    std::cout << "killed at " << boundaries << " of 5 boundaries and "
              << moments.size() - boundaries << " moments inside steps; resumed alike "
              << resumed_alike << " of " << moments.size() << std::endl;
}

// Each library call of two programs hangs in turn, for ever, under a short
// deadline: every run ends TIMEOUT in time, nothing of the step left.
TEST_F(BoardRun, HangSweepEndsEveryRunInTime) {
    struct Program {
        const char* name;
        std::vector<std::string> run;
        test_support::ProgramModel model;
    };
    const Program programs[] = {
        {"reload",
         {"image_reloader", "-d", "{device}", "-f", "{image}"},
         test_support::image_reloader_model},
        {"send",
         {"burst_sender", "-d", "{device}", "-n", "3"},
         test_support::burst_sender_model({40, 17, 43}, 0)},
    };
    struct Sweep {
        std::string rule;
        std::unique_ptr<TempDir> dir;
        std::unique_ptr<Process> process;
        std::chrono::steady_clock::time_point start;
    };
    std::vector<Sweep> sweeps;
    for (const Program& program : programs) {
        std::string run = "[";
        for (const std::string& a : program.run) run += (run.size() > 1 ? ", \"" : "\"") + a + "\"";
        const std::string seq =
            sequence(std::string(program.name) + ".toml",
                     "[[step]]\nname = \"" + std::string(program.name) + "\"\nrun = " + run +
                         "]\ntimeout_s = 0.5\ngrace_s = 0.3\n");
        for (const test_support::Call& c :
             test_support::failable_calls(test_support::clean_trace(program.model))) {
            Sweep s{c.op + "@" + std::to_string(c.nth), std::make_unique<TempDir>(), nullptr, {}};
            write_file(*s.dir / "image.rbf", "image");
            s.start = std::chrono::steady_clock::now();
            s.process = std::make_unique<Process>(test_support::launch_in(
                s.dir->path(), STATION_RUN_BIN, {"-i", "image.rbf", "-o", "run", seq},
                {{"ORLIX_SIM_HANG", s.rule}}));
            sweeps.push_back(std::move(s));
        }
    }
    for (Sweep& s : sweeps) {
        SCOPED_TRACE(s.rule);
        const Result r = s.process->wait();
        EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
        const json rec = parse_file(*s.dir / "run/record.json");
        EXPECT_EQ(rec["steps"][0]["verdict"], "TIMEOUT");
        // The step ended in time, with room for a loaded machine; the whole
        // run, process starts included, soon after.
        EXPECT_LT(rec["steps"][0]["attempts"][0]["duration_s"].get<double>(), 0.5 + 0.3 + 3);
        EXPECT_LT(std::chrono::steady_clock::now() - s.start, 60s);
        EXPECT_TRUE(test_support::nothing_left_in(*s.dir / "run"));
    }
    std::cout << "hung each of " << sweeps.size() << " calls in turn" << std::endl;
}

TEST_F(BoardRun, BadSequenceIsRefusedNamingItsLineAndKey) {
    const std::string head = "name = \"bad\"\nversion = \"1\"\n[[step]]\nname = \"a\"\n";
    const std::string run = "run = [\"burst_sender\"]\n";
    const std::pair<std::string, std::string> cases[] = {
        {head + "run = [\"burst_sender\"\n", ":5: syntax: "},
        {head + run + "deadline = 3\n", ":6: step[1].deadline: unknown key"},
        {"name = \"bad\"\nversion = \"1\"\n[[step]]\n" + run, ":3: step[1].name: missing"},
        {head, ":3: step[1].run: missing"},
        {head + run + "[[step.measure]]\nname = \"m\"\nstdout = 'x(\\d+'\n",
         ":8: step[1].measure[1].stdout: does not parse"},
        {head + run + "[[step.measure]]\nname = \"m\"\njson = \"channels\"\n",
         ":8: step[1].measure[1].json: is no JSON pointer"},
        {head + run + "[[step.measure]]\nname = \"m\"\njson = \"/x\"\nlow = 5\nhigh = 1\n",
         ":9: step[1].measure[1].low: is above high"},
        {head + run + "[[step]]\nname = \"a\"\n" + run,
         ":7: step[2].name: \"a\" names an earlier step"},
        {head + "run = [\"no_such_program\"]\n", "step a: program not found: no_such_program"},
        {head + run + "lock_timeout_s = 5\n", ":6: step[1].lock_timeout_s: goes with lock"},
        {head + run + "lock = \"rf\"\nlock_timeout_s = 0\n", ":7: step[1].lock_timeout_s: must be"},
        // An operator's step runs no program, and each key of an answer
        // belongs to its kind.
        {head + run + "prompt = \"Connect\"\n", ":5: step[1].run: an operator's step (prompt)"},
        {head + "prompt = \"Look\"\nanswer = \"maybe\"\n", ":6: step[1].answer: takes"},
        {head + "prompt = \"Look\"\nanswer = \"yes-no\"\n", ":3: step[1].expect: takes"},
        {head + "prompt = \"Read\"\nanswer = \"number\"\npattern = \"x\"\n",
         ":7: step[1].pattern: goes with answer = \"text\""},
        {head + "prompt = \"Type\"\nanswer = \"text\"\npattern = \"(\"\n",
         ":7: step[1].pattern: does not parse"},
        {head + run + "units = \"dBm\"\n", ":6: step[1].units: goes with prompt"},
        {"serial_pattern = \"[\"\n" + head + run, ":1: serial_pattern: does not parse"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        write_file(dir / "bad.toml", text);
        const Result r = run_station({"bad.toml"});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(dir / "runs")) << "nothing ran";
    }
}

TEST_F(BoardRun, RetriesStayInTheRecordAndJunitCountsItsCases) {
    // Fails its first attempt and passes its second; one never passes.
    const std::string steps = R"(
[[step]]
name = "flaky"
run = ["sh", "-c", "test -e tried || { touch tried; exit 1; }"]
retries = 2
[[step]]
name = "broken"
run = ["sh", "-c", "echo 'Failures: 1/3'; exit 0"]
retries = 1
  [[step.measure]]
  name = "failures"
  stdout = 'Failures: (\d+)/'
  high = 0
)" + kQuickStep;
    const Result r = run_station({"-o", "run", sequence("retry.toml", steps)});
    EXPECT_EQ(r.exit_code, 1) << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec), lines_of({"flaky PASS", "broken FAIL", "send PASS"}));
    EXPECT_EQ(rec["steps"][0]["passed_on_retry"], true);
    EXPECT_EQ(rec["steps"][0]["attempts"].size(), 2u);
    EXPECT_EQ(rec["steps"][1]["attempts"].size(), 2u);
    EXPECT_EQ(rec["counts"]["passed_on_retry"], 1);
    EXPECT_NE(r.out.find("1 on retry"), std::string::npos) << r.out;

    // A test case per step and per measurement; the suite counts them.
    const std::string xml = read_file(dir / "run/junit.xml");
    std::vector<std::string> cases;
    const std::regex testcase(R"re(<testcase name="([^"]+)")re");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), testcase);
         it != std::sregex_iterator(); ++it) {
        cases.push_back((*it)[1]);
    }
    EXPECT_EQ(cases, lines_of({"flaky", "flaky/exit_status", "broken", "broken/exit_status",
                               "broken/failures", "send", "send/exit_status"}));
    std::smatch suite;
    ASSERT_TRUE(std::regex_search(
        xml, suite,
        std::regex(
            R"re(<testsuite name="retry.toml \[serial unknown\]" tests="(\d+)" failures="(\d+)")re")));
    EXPECT_EQ(std::stoul(suite[1]), cases.size());
    EXPECT_EQ(suite[2], "2") << "the step and its measurement";
    EXPECT_NE(xml.find("<flakyFailure type=\"FAIL\""), std::string::npos);
    EXPECT_NE(xml.find("<rerunFailure type=\"FAIL\""), std::string::npos);
    EXPECT_NE(xml.find("<system-out>value 1\nlow none, high 0\nmargin -1, margin percent "
                       "none\nverdict FAIL\n</system-out>"),
              std::string::npos)
        << xml;
}

TEST_F(BoardRun, DefaultSequencePassesOnTheSimulatedDevice) {
    const Result r = run_station({"-i", "image.rbf", "-s", "SN-1", "-o", "run"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(rec["sequence"]["name"], "board-acceptance");
    const Result sum = test_support::run(
        test_support::launch_in(dir.path(), SHA256SUM_BIN, {rec["sequence"]["path"]}));
    EXPECT_EQ(rec["sequence"]["sha256"], sum.out.substr(0, 64)) << "the file that ran";
    EXPECT_EQ(rec["serial"], "SN-1");
    EXPECT_EQ(rec["steps"].size(), 6u);
    EXPECT_EQ(rec["verdict"], "PASS");
    for (const json& step : rec["steps"]) {
        for (const json& m : step["attempts"].back()["measurements"]) {
            EXPECT_EQ(m["verdict"], "PASS") << step["name"] << "/" << m["name"] << " by a margin";
        }
    }
}

// Receivers that every check of the capture passed before its figures of
// merit: each fails the default sequence through the figure that shows it,
// and a noisy but working one fails on its SNR and not on phase jumps.
TEST_F(BoardRun, DefaultSequenceFailsEachFaultyReceiverThroughItsFigure) {
    struct Board {
        const char* signal;
        std::vector<std::string> failing;  // measurements of capture-checks, beside its exit status
    };
    const Board boards[] = {
        {"amplitude=1000,noise=500", {"ch0_snr", "ch1_snr"}},
        {"tone=65750", {"ch0_frequency_error", "ch1_frequency_error"}},
        {"ch1.amplitude=900", {"gain_match"}},
        {"ch0.iq_gain_db=1,ch0.iq_phase_deg=5", {"ch0_sfdr", "ch0_image"}},
        {"amplitude=1000,noise=100", {"ch0_snr", "ch1_snr"}},
    };
    std::vector<std::unique_ptr<Process>> runs;
    for (std::size_t i = 0; i < std::size(boards); ++i) {
        runs.push_back(std::make_unique<Process>(station(
            {"-o", "board" + std::to_string(i)}, {{"ORLIX_SIM_SIGNAL", boards[i].signal}})));
    }
    for (std::size_t i = 0; i < std::size(boards); ++i) {
        SCOPED_TRACE(boards[i].signal);
        const Result r = runs[i]->wait();
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        const json rec = parse_file(dir / ("board" + std::to_string(i)) / "record.json");
        EXPECT_EQ(rec["verdict"], "FAIL");
        std::vector<std::string> failing;
        for (const json& step : rec["steps"]) {
            if (step["attempts"].empty()) continue;
            for (const json& m : step["attempts"].back()["measurements"]) {
                if (m["verdict"] == "FAIL" && m["name"] != "exit_status") {
                    failing.push_back(m["name"]);
                }
            }
        }
        EXPECT_EQ(failing, boards[i].failing);
    }
}

}  // namespace
