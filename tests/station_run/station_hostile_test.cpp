// station_run against what the outside does to it: bytes that are no text,
// kills at every event, a second station on one run, daemons, floods,
// patterns that backtrack, programs that cannot start, a locked history,
// doctored folders and terminal escapes. Every run ends with a record whose
// verdict is the process's.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
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
#include "wait.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::lines_of;
using test_support::nothing_left_in;
using test_support::parse_file;
using test_support::Process;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::split_lines;
using test_support::step_verdicts;
using test_support::wait_for_record;
using test_support::write_file;
using namespace std::chrono_literals;

// Each step's attempts, by verdict: "flaky FAIL PASS".
std::vector<std::string> attempt_verdicts(const json& record) {
    std::vector<std::string> out;
    for (const json& s : record["steps"]) {
        std::string line = s["name"].get<std::string>();
        for (const json& a : s["attempts"]) {
            line += ' ';
            line += a["verdict"].get<std::string>();
        }
        out.push_back(line);
    }
    return out;
}

TEST_F(BoardRun, BytesThatAreNoTextEnterEverywhereAndLeaveAsReplacements) {
    const std::string bad = "\xFF\xC3(\xED\xA0\x80\xEF\xBF\xBE";
    write_file(dir / ("image" + bad + ".rbf"), "image");
    const std::string seq = sequence("utf8.toml", R"(
[[step]]
name = "reload"
run = ["image_reloader", "-d", "{device}", "-f", "{image}"]
[[step]]
name = "noise"
run = ["sh", "-c", 'printf "value: 5\n\377\376 \355\240\200 \357\277\276 \364\220\200\200\n" >&2; printf "value: 5\n"']
  [[step.measure]]
  name = "value"
  stdout = 'value: (\S+)'
[[step]]
name = "garbled"
run = ["printf", 'value: 7\377\n']
  [[step.measure]]
  name = "value"
  stdout = 'value: (\S+)'
)");
    const std::string folder = "run" + bad;
    const Result r =
        run_station({"-s", "SN" + bad, "--operator", "op" + bad, "--station", "st" + bad, "-o",
                     folder, "-i", (dir / ("image" + bad + ".rbf")).string(), seq});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    // Python reads the record as strict UTF-8, xmllint the JUnit file as XML 1.0.
    const json rec = checked_record(dir / folder);
    EXPECT_EQ(step_verdicts(rec), lines_of({"reload PASS", "noise PASS", "garbled PASS"}));
    EXPECT_EQ(rec["steps"][2]["attempts"][0]["measurements"][1]["value"], 7)
        << "a pattern matches characters, and a broken byte is none";
    const std::string serial = rec["serial"];
    EXPECT_EQ(serial.rfind("SN\xEF\xBF\xBD", 0), 0u) << serial;
    EXPECT_NE(serial.find("(\xEF\xBF\xBD"), std::string::npos) << "a surrogate replaced";
    EXPECT_NE(read_file(dir / folder / "report.html").find("SN\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(read_file(dir / folder / "junit.xml").find("\xEF\xBF\xBE"), std::string::npos)
        << "U+FFFE is no XML character";
    // The history holds the run, ended, and its summary reads.
    const Result summary = run_station({"--summary", "--json"});
    ASSERT_EQ(summary.exit_code, 0) << summary.err;
    const json j = json::parse(summary.out);
    ASSERT_EQ(j["runs"].size(), 1u);
    EXPECT_EQ(j["runs"][0]["verdict"], "PASS");
    EXPECT_EQ(run_station({"--summary"}).exit_code, 0);
}

// Killed while held after each event of a step that passes on its retry and
// of one that fails with no retries: the resumed run ends as the whole one
// does, names the step it was in, and gives no step an attempt its retries
// do not allow.
TEST_F(BoardRun, KilledAtEveryEventResumesToTheSameEnd) {
    const std::string seq = sequence("events.toml", R"(
[[step]]
name = "flaky"
run = ["sh", "-c", "test -e tried || { touch tried; exit 1; }"]
retries = 1
[[step]]
name = "once"
run = ["sh", "-c", "exit 1"]
[[step]]
name = "send"
run = ["burst_sender", "-d", "{device}", "-n", "1"]
)");
    ASSERT_EQ(run_station({"-o", "whole", seq}).exit_code, 1);
    const json whole = parse_file(dir / "whole/record.json");
    ASSERT_EQ(attempt_verdicts(whole), lines_of({"flaky FAIL PASS", "once FAIL", "send PASS"}));
    struct Hold {
        std::string event;
        int nth;
        std::vector<std::string> interrupted;
    };
    const Hold holds[] = {
        {"step_started", 1, {"flaky"}}, {"attempt_ended", 1, {"flaky"}},
        {"step_started", 2, {"flaky"}}, {"attempt_ended", 2, {"flaky"}},
        {"step_ended", 1, {}},          {"step_started", 3, {"once"}},
        {"attempt_ended", 3, {"once"}}, {"step_ended", 2, {}},
    };
    int n = 0;
    for (const Hold& h : holds) {
        const std::string folder = "killed" + std::to_string(++n);
        SCOPED_TRACE(h.event + "@" + std::to_string(h.nth));
        Process p(station({"-o", folder, seq},
                          {{"ORLIX_STATION_HOLD", h.event + "@" + std::to_string(h.nth)}}));
        ASSERT_TRUE(wait_for_record(dir / folder, "\"event\":\"" + h.event + "\"", h.nth));
        p.send_signal(SIGKILL);
        EXPECT_EQ(p.wait().term_signal, SIGKILL);
        EXPECT_TRUE(nothing_left_in(dir / folder));
        const Result resumed = run_station({"--resume", folder});
        EXPECT_EQ(resumed.exit_code, 1) << resumed.out << resumed.err;
        const json rec = checked_record(dir / folder);
        EXPECT_EQ(attempt_verdicts(rec), attempt_verdicts(whole));
        EXPECT_EQ(rec["counts"], whole["counts"]);
        EXPECT_EQ(rec["verdict"], "FAIL");
        const std::vector<std::string> lines =
            split_lines(read_file(dir / folder / "record.jsonl"));
        const json resumption = json::parse(*std::find_if(lines.begin(), lines.end(), [](auto& l) {
            return l.find("\"run_resumed\"") != std::string::npos;
        }));
        EXPECT_EQ(resumption["interrupted"].get<std::vector<std::string>>(), h.interrupted);
        // Resuming an ended run again says it again, the same.
        const std::string first = read_file(dir / folder / "record.json");
        EXPECT_EQ(run_station({"--resume", folder}).exit_code, 1);
        EXPECT_EQ(read_file(dir / folder / "record.json"), first);
    }
}

TEST_F(BoardRun, OneRunIsWorkedOnByOneStationAtATime) {
    const std::string seq = sequence("two.toml", R"(
[[step]]
name = "first"
run = ["sh", "-c", "echo first >> ../steps.log"]
[[step]]
name = "second"
run = ["sh", "-c", "echo second >> ../steps.log"]
)");
    Process held(station({"-o", "run", seq}, {{"ORLIX_STATION_HOLD", "step_ended@1"}}));
    ASSERT_TRUE(wait_for_record(dir / "run", "\"step_ended\""));
    const std::string holder = "(process " + std::to_string(held.pid()) + ")";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--resume", "run"},
                                                 std::vector<std::string>{"-o", "run", seq}}) {
        const Result r = run_station(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("another station_run " + holder), std::string::npos) << r.err;
    }
    held.send_signal(SIGKILL);
    held.wait();
    // Two resumes at once: one runs the rest, the other is refused.
    Process a(station({"--resume", "run"}, {{"ORLIX_STATION_HOLD", "run_resumed"}}));
    ASSERT_TRUE(wait_for_record(dir / "run", "\"run_resumed\""));
    const Result b = run_station({"--resume", "run"});
    EXPECT_EQ(b.exit_code, 2);
    EXPECT_NE(b.err.find("(process " + std::to_string(a.pid()) + ")"), std::string::npos);
    a.send_signal(SIGTERM);  // ends the hold; the run goes on to its end... aborted
    a.wait();
    const Result last = run_station({"--resume", "run"});
    EXPECT_EQ(last.exit_code, 0) << last.err;
    EXPECT_EQ(read_lines(dir / "steps.log"), lines_of({"first", "second"})) << "each step once";
    const std::string text = read_file(dir / "run/record.jsonl");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::ptrdiff_t{1 + 3 + 1 + 1 + 1 + 3 + 1})
        << text;
}

TEST_F(BoardRun, NoProcessOutlivesItsStepNorTheStationsGroup) {
    // A daemon that leaves its session, and one that forks twice.
    const std::string daemons = sequence("daemons.toml", R"(
[[step]]
name = "daemons"
run = ["sh", "-c", "setsid sleep 300 & (sleep 300 &); echo started"]
)");
    EXPECT_EQ(run_station({"-o", "run", daemons}).exit_code, 0);
    EXPECT_TRUE(nothing_left_in(dir / "run"));

    const std::string waits = sequence("waits.toml", R"(
[[step]]
name = "wait"
run = ["sh", "-c", "setsid sleep 301 & sleep 301"]
)");
    test_support::Launch l = station({"-o", "killed", waits});
    l.own_process_group = true;  // as a supervisor such as timeout(1) starts it
    Process p(l);
    ASSERT_TRUE(wait_for_record(dir / "killed", "\"step_started\""));
    test_support::wait_until([&] { return test_support::processes_in(dir / "killed").size() >= 3; },
                             10s);
    p.send_signal(SIGKILL, true);  // station_run and its whole group at once
    EXPECT_EQ(p.wait().term_signal, SIGKILL);
    EXPECT_TRUE(nothing_left_in(dir / "killed"))
        << test_support::processes_in(dir / "killed").size();
}

TEST_F(BoardRun, HostileOutputNeitherCrashesNorHangsNorFloodsTheStation) {
    const std::string seq = sequence("hostile.toml", R"(
[[step]]
name = "long-line"
run = ["sh", "-c", "printf 'v: 42 '; head -c 102400 /dev/zero | tr '\\0' x; echo"]
  [[step.measure]]
  name = "v"
  stdout = 'v: (\d+).*'
[[step]]
name = "backtracking"
run = ["sh", "-c", "head -c 102400 /dev/zero | tr '\\0' a"]
timeout_s = 5
  [[step.measure]]
  name = "v"
  stdout = '^(a|a)*(\d)$'
[[step]]
name = "pointer"
run = ["echo", "{\"a\": [1]}"]
  [[step.measure]]
  name = "v"
  json = "/a/99999999999999999999999999999999"
[[step]]
name = "over-limit"
run = ["sh", "-c", "head -c 3000000 /dev/zero; echo 'v: 1'"]
  [[step.measure]]
  name = "v"
  stdout = 'v: (\d+)'
[[step]]
name = "flood"
run = ["sh", "-c", "trap '' TERM; cat /dev/zero"]
timeout_s = 1
grace_s = 1
)");
    const Result r = run_station({"-o", "run", "--output-limit", "2", seq});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec), lines_of({"long-line PASS", "backtracking ERROR", "pointer ERROR",
                                            "over-limit ERROR", "flood TIMEOUT"}));
    const json& steps = rec["steps"];
    EXPECT_EQ(steps[0]["attempts"][0]["measurements"][1]["value"], 42);
    EXPECT_EQ(steps[2]["attempts"][0]["measurements"][1]["note"],
              "no value at /a/99999999999999999999999999999999");
    EXPECT_EQ(steps[3]["attempts"][0]["measurements"][1]["note"],
              "the standard output passed its limit and was cut");
    const json& flood = steps[4]["attempts"][0];
    EXPECT_EQ(flood["stdout_cut"], true);
    EXPECT_GT(flood["stdout_bytes"].get<double>(), 2 << 20);
    EXPECT_EQ(std::filesystem::file_size(dir / "run/flood.1.stdout"), 2u << 20) << "the limit";
    EXPECT_LT(flood["duration_s"].get<double>(), 1 + 1 + 3) << "deadline, grace and a margin";
    EXPECT_NE(read_file(dir / "run/report.html").find("flood.1.stdout stopped at its limit"),
              std::string::npos);
    EXPECT_LT(std::filesystem::file_size(dir / "run/junit.xml"), 1u << 20);
    EXPECT_LT(std::filesystem::file_size(dir / "run/report.html"), 1u << 20);
    // One timed-out step is one error in JUnit: its measurements were not taken.
    const std::string xml = read_file(dir / "run/junit.xml");
    EXPECT_NE(xml.find("<skipped message=\"exit_status: not taken: the deadline passed\"/>"),
              std::string::npos);
}

TEST_F(BoardRun, AStoppedReaderAndASecondSignalNeitherStretchNorLoseTheRun) {
    // -v copies a flood live to a pipe that nobody reads for six seconds.
    const std::string flood = sequence("flood.toml", R"(
[[step]]
name = "flood"
run = ["sh", "-c", "cat /dev/zero | tr '\\0' x"]
timeout_s = 1
grace_s = 1
)");
    const Result stalled = test_support::run(test_support::launch_in(
        dir.path(), "/bin/sh",
        {"-c", std::string(STATION_RUN_BIN) + " -v -o stalled " + flood + " | (sleep 6; cat)"}));
    const json rec = checked_record(dir / "stalled");
    EXPECT_EQ(step_verdicts(rec), lines_of({"flood TIMEOUT"})) << stalled.err;
    EXPECT_LT(rec["steps"][0]["attempts"][0]["duration_s"].get<double>(), 1 + 1)
        << "the deadline holds whatever the reader does";
    EXPECT_NE(stalled.out.find("were not shown here, to keep to its deadline"), std::string::npos)
        << stalled.out.substr(stalled.out.size() - std::min<std::size_t>(stalled.out.size(), 400));

    // A step that ignores SIGTERM, and a second signal during its grace.
    const std::string stubborn = sequence("stubborn.toml", R"(
[[step]]
name = "stubborn"
run = ["sh", "-c", "trap '' TERM; touch ../trapped; while :; do sleep 1; done"]
grace_s = 60
)");
    Process p(station({"-o", "twice", stubborn}));
    ASSERT_TRUE(
        test_support::wait_until([&] { return std::filesystem::exists(dir / "trapped"); }, 20s));
    const auto signalled = std::chrono::steady_clock::now();
    p.send_signal(SIGTERM);
    std::this_thread::sleep_for(300ms);
    p.send_signal(SIGTERM);
    const Result r = p.wait();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 30s) << "not the 60 s grace";
    EXPECT_EQ(r.term_signal, SIGTERM) << r.err;
    EXPECT_NE(r.err.find("a second signal: the step was stopped at once"), std::string::npos)
        << r.err;
    const json aborted = checked_record(dir / "twice");
    EXPECT_EQ(aborted["verdict"], "ABORTED");
    EXPECT_EQ(step_verdicts(aborted), lines_of({"stubborn ABORTED"}));
    EXPECT_TRUE(nothing_left_in(dir / "twice")) << "the step is gone";
}

TEST_F(BoardRun, AProgramThatCannotStartIsAnErrorWithItsReason) {
    write_file(dir / "not-executable", "echo hello\n");
    write_file(dir / "garbage",
               "\x7f"
               "ELF garbage");
    chmod((dir / "garbage").c_str(), 0755);
    std::filesystem::create_directory(dir / "tools");
    write_file(dir / "tools/ok.sh", "#!/bin/sh\necho ok from $(basename $PWD)\n");
    chmod((dir / "tools/ok.sh").c_str(), 0755);
    const std::string seq = sequence("start.toml", R"(
[[step]]
name = "not-executable"
run = ["./not-executable"]
expect_status = 127
[[step]]
name = "garbage"
run = ["./garbage"]
expect_status = 127
[[step]]
name = "relative"
run = ["./tools/ok.sh"]
)");
    const Result r = run_station({"-o", "run", seq});
    EXPECT_EQ(r.exit_code, 2);
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec),
              lines_of({"not-executable ERROR", "garbage ERROR", "relative PASS"}));
    EXPECT_EQ(rec["steps"][0]["attempts"][0]["note"],
              "cannot run " + (dir / "not-executable").string() + ": Permission denied");
    EXPECT_EQ(rec["steps"][1]["attempts"][0]["note"],
              "cannot run " + (dir / "garbage").string() + ": Exec format error");
    EXPECT_TRUE(rec["steps"][1]["attempts"][0]["exit_status"].is_null()) << "no exit status";
    EXPECT_EQ(read_file(dir / "run/relative.1.stdout"), "ok from run\n");

    // A run in which no step ran proves nothing.
    const Result none =
        run_station({"-o", "none",
                     sequence("none.toml",
                              "[[step]]\nname = \"needs\"\nrun = [\"true\"]\nrequires = "
                              "[\"image\"]\n")});
    EXPECT_EQ(none.exit_code, 2);
    const json empty = checked_record(dir / "none");
    EXPECT_EQ(empty["verdict"], "ERROR");
    EXPECT_EQ(empty["errors"], json::array({"no step ran"}));
}

TEST_F(BoardRun, HistoryLockedPastItsTimeoutIsWrittenByALaterResume) {
    const std::string seq = sequence("quick.toml", "[[step]]\nname = \"a\"\nrun = [\"true\"]\n");
    ASSERT_EQ(run_station({"-o", "first", seq}).exit_code, 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "station.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const Result locked = run_station({"-o", "second", "--history-timeout", "0.5", seq});
    EXPECT_EQ(locked.exit_code, 2);
    EXPECT_NE(locked.err.find("station_run: history: database is locked"), std::string::npos)
        << locked.err;
    json rec = checked_record(dir / "second");
    EXPECT_EQ(rec["exit_status"], 2);
    EXPECT_EQ(rec["verdict"], "ERROR");
    ASSERT_EQ(rec["errors"].size(), 1u);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const Result resumed = run_station({"--resume", "second"});
    EXPECT_EQ(resumed.exit_code, 0) << resumed.err;
    rec = checked_record(dir / "second");
    EXPECT_EQ(rec["verdict"], "PASS");
    EXPECT_EQ(rec["errors"], json::array());
    const Result summary = run_station({"--summary", "--json"});
    EXPECT_EQ(json::parse(summary.out)["runs"].size(), 2u) << "both runs kept";
    // One verdict: the history's row is the record's, and the record's last
    // end follows the resume that completed it.
    ASSERT_EQ(sqlite3_open((dir / "station.sqlite").c_str(), &db), SQLITE_OK);
    std::string kept;
    sqlite3_exec(
        db, "SELECT verdict || ' ' || exit_status FROM runs WHERE folder LIKE '%/second'",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) += values[0];
            return 0;
        },
        &kept, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(kept, "PASS 0");
    std::vector<std::string> events;
    for (const std::string& line : read_lines(dir / "second/record.jsonl")) {
        const json e = json::parse(line);
        if (e["event"] == "run_ended") {
            events.push_back("run_ended " + e["verdict"].get<std::string>());
        } else if (e["event"] == "run_resumed") {
            events.push_back("run_resumed");
        }
    }
    EXPECT_EQ(events, lines_of({"run_ended ERROR", "run_resumed", "run_ended PASS"}));
    // Said again, the run changes no more.
    const std::string log = read_file(dir / "second/record.jsonl");
    EXPECT_EQ(run_station({"--resume", "second"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "second/record.jsonl"), log);
}

TEST_F(BoardRun, DoctoredFoldersAreReadAndWrittenOnlyInsideThemselves) {
    const std::string seq = sequence("one.toml", "[[step]]\nname = \"a\"\nrun = [\"true\"]\n");
    ASSERT_EQ(run_station({"-o", "run", seq}).exit_code, 0);
    write_file(dir / "secret.txt", "TOP-SECRET");
    write_file(dir / "victim.html", "victim");
    json doc = parse_file(dir / "run/record.json");
    doc["steps"][0]["attempts"][0]["stdout"] = "../secret.txt";
    doc["steps"][0]["argv"] = json::array({"capture_inspect", "--plot", "../secret.txt"});
    write_file(dir / "run/record.json", doc.dump());
    std::filesystem::remove(dir / "run/a.1.stderr");
    std::filesystem::create_symlink(dir / "secret.txt", dir / "run/a.1.stderr");
    std::filesystem::remove(dir / "run/report.html");
    std::filesystem::create_symlink(dir / "victim.html", dir / "run/report.html");
    const Result r = run_station({"--report", "run"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(dir / "victim.html"), "victim") << "no write through a link";
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "run/report.html"));
    EXPECT_EQ(read_file(dir / "run/report.html").find("TOP-SECRET"), std::string::npos);

    // A record whose steps are not its sequence's is not resumed.
    std::string log = read_file(dir / "run/record.jsonl");
    log = std::regex_replace(log, std::regex("\"name\":\"a\""), "\"name\":\"b\"");
    log = std::regex_replace(log, std::regex("\"step\":\"a\""), "\"step\":\"b\"");
    log = log.substr(0, log.find("{\"event\":\"run_ended\""));
    write_file(dir / "run/record.jsonl", log);
    const Result resumed = run_station({"--resume", "run"});
    EXPECT_EQ(resumed.exit_code, 2);
    EXPECT_NE(resumed.err.find("the record's steps are not the sequence's"), std::string::npos)
        << resumed.err;
}

TEST_F(BoardRun, TerminalEscapesFoldersPipesAndModes) {
    const std::string seq = sequence("esc.toml", R"(
[[step]]
name = "a"
run = ["printf", 'value: \033[2J\n']
  [[step.measure]]
  name = "value"
  stdout = 'value: (\S+)'
)");
    const Result r = run_station({"-s", ".\x1b]0;owned\x07", seq});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"\\x1b[2J\" is no number"), std::string::npos) << r.out;
    const Result summary = run_station({"--summary"});
    EXPECT_EQ(summary.out.find('\x1b'), std::string::npos);
    ASSERT_EQ(test_support::files_starting(dir / "runs", "_.").size(), 1u)
        << "a serial never makes a hidden folder";

    // A sequence read from a pipe is hashed as it was parsed.
    const Result piped = test_support::run(test_support::launch_in(
        dir.path(), "/bin/sh",
        {"-c", std::string("cat esc.toml | ") + STATION_RUN_BIN + " -o piped /dev/stdin"}));
    EXPECT_EQ(piped.exit_code, 2) << piped.err;
    const Result sum =
        test_support::run(test_support::launch_in(dir.path(), SHA256SUM_BIN, {"esc.toml"}));
    EXPECT_EQ(parse_file(dir / "piped/record.json")["sequence"]["sha256"], sum.out.substr(0, 64));

    for (const std::vector<std::string>& usage :
         {std::vector<std::string>{"--resume", "piped", "-d", "sim"},
          std::vector<std::string>{"--resume", "piped", "--history", "x.sqlite"},
          std::vector<std::string>{"--report", "piped", "--summary"},
          std::vector<std::string>{"--json"},
          std::vector<std::string>{"--summary", "--since", "banana"}}) {
        const Result refused = run_station(usage);
        EXPECT_EQ(refused.exit_code, 2) << usage[0];
        EXPECT_FALSE(refused.err.empty());
    }
}

}  // namespace
