// station_run testing several boards at once: each board its own run, one
// board's fault its own, a shared instrument's lock held by one board at a
// time in the order asked (as the simulated devices' traces show), a hang
// that delays no other board, a station killed and resumed, and a station
// file at fault refused before anything runs.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "board_run_fixture.h"
#include "process.h"
#include "wait.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::Process;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::step_verdicts;
using test_support::write_file;

// A board's record as a board alone would leave it: times, places, the
// board's device (and what the steps printed of it) and the station's own
// facts taken out.
json comparable(json record) {
    for (const char* key : {"serial", "output", "started", "ended", "history", "socket",
                            "socket_env", "station_file_sha256", "station", "device"}) {
        record.erase(key);
    }
    for (json& step : record["steps"]) {
        step.erase("argv");
        for (json& a : step["attempts"]) {
            for (const char* key :
                 {"started", "ended", "duration_s", "lock_wait_s", "stdout_bytes"}) {
                a.erase(key);
            }
        }
    }
    return record;
}

// The time span of each program (by process id) in a trace whose lines
// begin with their times, for the programs that made a call holding `call`.
struct Span {
    double from = 0, to = 0;
};
std::vector<Span> spans_of(const std::filesystem::path& trace, const std::string& call) {
    std::map<std::string, Span> by_pid;
    std::map<std::string, bool> chosen;
    for (const std::string& line : read_lines(trace)) {
        std::istringstream in(line);
        double at = 0;
        std::string pid, rest;
        in >> at >> pid;
        std::getline(in, rest);
        Span& s = by_pid[pid];
        if (s.from == 0) s.from = at;
        s.to = at;
        if (rest.find(call) != std::string::npos) chosen[pid] = true;
    }
    std::vector<Span> out;
    for (const auto& [pid, span] : by_pid) {
        if (chosen[pid]) out.push_back(span);
    }
    return out;
}

class StationSockets : public BoardRun {
protected:
    // A station file of `sockets`, each "NAME" or "NAME ENV=VALUE ...".
    std::string station_file(const std::vector<std::string>& sockets) {
        std::string text = "name = \"bench\"\n";
        for (const std::string& s : sockets) {
            std::istringstream in(s);
            std::string name, setting, env;
            in >> name;
            while (in >> setting) {
                const std::size_t eq = setting.find('=');
                env += (env.empty() ? "" : ", ") + setting.substr(0, eq) + " = \"" +
                       setting.substr(eq + 1) + "\"";
            }
            text += "[[socket]]\nname = \"" + name + "\"\ndevice = \"sim:" + name + "\"\nenv = { " +
                    env + " }\n";
        }
        write_file(dir / "station.toml", text);
        return (dir / "station.toml").string();
    }
    json board(const std::string& station, const std::string& socket) const {
        return test_support::parse_file(dir / station / socket / "record.json");
    }
    // station.json, checked against the shipped schema.
    json checked_station(const std::string& station) const {
        const std::string text = read_file(dir / station / "station.json");
        EXPECT_EQ(test_support::schema_faults("station.schema.json", text), "");
        return json::parse(text);
    }
};

// The suite's sequence on four boards, the third with a receiver whose noise
// fails its SNR; a board alone runs beside them for comparison.
TEST_F(StationSockets, OneFaultyBoardFailsAloneAndTheOthersMatchABoardAlone) {
    const std::string file = station_file(
        {"A", "B", "C ORLIX_SIM_SIGNAL=noise=100", "D", "E ORLIX_SIM_SIGNAL=noise=100"});
    Process alone(station({"-s", "SN-0", "-o", "alone", "--history", "alone.sqlite"}));
    const Result r = run_station({"--station-file", file, "-s", "A=SN-1", "-s", "B=SN-2", "-s",
                                  "C=SN-3", "-s", "D=SN-4", "-o", "st"});
    const Result single = alone.wait();
    ASSERT_EQ(single.exit_code, 0) << single.out << single.err;
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("  C            SN-3             FAIL      capture-checks\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  E            -                not run: no serial given\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Station FAIL (exit status 1)\n"), std::string::npos) << r.out;
    const json reference = comparable(checked_record(dir / "alone"));
    for (const char* socket : {"A", "B", "D"}) {
        SCOPED_TRACE(socket);
        const json rec = checked_record(dir / "st" / socket);
        EXPECT_EQ(rec["socket"], socket);
        EXPECT_EQ(rec["station_file_sha256"].get<std::string>().size(), 64u);
        EXPECT_EQ(comparable(rec), reference) << "a board's record is a board alone's";
    }
    const json c = checked_record(dir / "st" / "C");
    EXPECT_EQ(c["verdict"], "FAIL");
    EXPECT_EQ(c["socket_env"]["ORLIX_SIM_SIGNAL"], "noise=100");
    const json summary = checked_station("st");
    EXPECT_EQ(summary["exit_status"], 1);
    ASSERT_EQ(summary["boards"].size(), 4u);
    EXPECT_EQ(summary["boards"][2]["failed_steps"], json::array({"capture-checks"}));
    EXPECT_EQ(summary["not_run"][0]["socket"], "E");
    // The capture, under its lock, one board at a time: four captures' time.
    double waited = 0;
    for (const char* socket : {"A", "B", "C", "D"}) {
        const json rec = board("st", socket);
        for (const json& step : rec["steps"]) {
            if (step["name"] == "capture")
                waited += step["attempts"][0]["lock_wait_s"].get<double>();
        }
    }
    EXPECT_GT(waited, 3 * 5.0) << "the others waited for the first, second and third";
}

// A bench of three simulated boards, B's receiver noisy and C's clock select
// failing: each socket's steps talk to its own board, so the failures follow
// the boards, whichever sockets they sit in; each capture opened its own
// board, as the devices' trace says.
TEST_F(StationSockets, EachSocketsStepsTalkToItsOwnBoardOfABench) {
    const std::string seq = sequence("bench.toml", R"(
[[step]]
name = "clock-select"
run = ["refswitch_soak", "-d", "{device}", "-i", "1"]
[[step]]
name = "capture"
run = ["twin_capture"]
[[step]]
name = "capture-checks"
run = ["capture_inspect", "--json", "dual_test.bin"]
  [[step.measure]]
  name = "ch0_snr"
  json = "/channels/0/snr_db"
  low = 30
)");
    const std::map<std::string, std::string> bench = {
        {"ORLIX_SIM_BENCH", "A,B,C"},
        {"ORLIX_SIM_BENCH_DIR", (dir / "holds").string()},
        {"ORLIX_SIM_SIGNAL_B", "noise=300"},
        {"ORLIX_SIM_FAIL_C", "set_clock_select"},
        {"ORLIX_SIM_TRACE_TIME", "1"}};
    const struct {
        const char* devices[3];  // of sockets A, B and C
        const char* expected;    // each socket's verdict and failed step
    } stations[] = {
        {{"sim:A", "sim:B", "sim:C"}, "A PASS, B FAIL capture-checks, C FAIL clock-select"},
        {{"sim:C", "sim:B", "sim:A"}, "A FAIL clock-select, B FAIL capture-checks, C PASS"},
    };
    for (const auto& st : stations) {
        SCOPED_TRACE(st.expected);
        clear_trace();
        std::filesystem::remove_all(dir / "st");
        std::string text = "name = \"bench\"\n";
        for (int i = 0; i < 3; ++i) {
            text += "[[socket]]\nname = \"" + std::string(1, char('A' + i)) + "\"\ndevice = \"" +
                    st.devices[i] + "\"\n";
        }
        write_file(dir / "station.toml", text);
        const Result r = run_station({"--station-file", "station.toml", "-s", "A=SN-1", "-s",
                                      "B=SN-2", "-s", "C=SN-3", "-o", "st", seq},
                                     bench);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        EXPECT_EQ(checked_station("st")["boards"][1]["device"], st.devices[1]);
        std::string verdicts;
        for (const char* socket : {"A", "B", "C"}) {
            // Each board's JUnit file names its socket and serial in the
            // suite and in every case's class, so that no two boards' meet.
            const json rec = checked_record(dir / "st" / socket);
            const std::string xml = read_file(dir / "st" / socket / "junit.xml");
            const std::string serial = rec["serial"];
            EXPECT_NE(xml.find("<testsuite name=\"bench.toml [socket " + std::string(socket) +
                               ", serial " + serial + "]\""),
                      std::string::npos)
                << xml;
            const std::string own = "classname=\"bench.toml." + std::string(socket) + "." + serial;
            std::size_t classes = 0;
            for (std::size_t at = xml.find("classname=\""); at != std::string::npos;
                 at = xml.find("classname=\"", at + 1), ++classes) {
                EXPECT_EQ(xml.compare(at, own.size(), own), 0) << xml.substr(at, 60);
            }
            EXPECT_GE(classes, 4u);
            verdicts += std::string(verdicts.empty() ? "" : ", ") + socket + " " +
                        rec["verdict"].get<std::string>();
            for (const json& step : rec["steps"]) {
                if (step["verdict"] != "PASS") {
                    verdicts.append(" ").append(step["name"].get<std::string>());
                }
            }
        }
        EXPECT_EQ(verdicts, st.expected);
        // Each program's process opened one board: its socket's, never "any".
        std::map<std::string, std::string> opened;  // by process id
        std::map<std::string, int> captures;        // by board
        for (const std::string& line : trace()) {
            std::istringstream in(line);
            std::string at, pid, board, call;
            in >> at >> pid >> board >> call;
            if (call.rfind("orlix_open(", 0) == 0) {
                EXPECT_EQ(call, "orlix_open(\"sim:" + board.substr(1, 1) + "\")") << line;
                opened[pid] = board;
            }
            if (call.rfind("orlix_sync_config(dev,", 0) == 0 &&
                line.find("dev, 2, 0,") != std::string::npos) {
                EXPECT_EQ(opened[pid], board) << line;
                ++captures[board];
            }
        }
        EXPECT_EQ(captures, (std::map<std::string, int>{{"[A]", 1}, {"[B]", 1}, {"[C]", 1}}));
    }
    // A board alone on the bench, named by -d: every step talks to it.
    clear_trace();
    const Result alone = run_station({"-d", "sim:B", "-s", "SN-9", "-o", "alone", seq}, bench);
    EXPECT_EQ(alone.exit_code, 1) << alone.out << alone.err;
    EXPECT_EQ(
        step_verdicts(board(".", "alone")),
        (std::vector<std::string>{"clock-select PASS", "capture PASS", "capture-checks FAIL"}));
    for (const std::string& line : trace()) {
        if (line.find("orlix_log_set_verbosity") == std::string::npos) {
            EXPECT_NE(line.find(" [B] orlix_"), std::string::npos) << line;
        }
    }
}

// A board's steps around one that holds the shared instrument.
constexpr const char* kLockedMeasure = R"(
[[step]]
name = "prepare"
run = ["burst_sender", "-d", "{device}", "-n", "2"]
[[step]]
name = "measure"
run = ["refswitch_soak", "-d", "{device}", "-i", "2"]
lock = "rf-source"
timeout_s = 30
[[step]]
name = "after"
run = ["burst_sender", "-d", "{device}", "-n", "2"]
)";

// Each board asks for the lock at its own moment (its first step hangs for
// a time of its own); the traces show the locked steps one after another,
// in the order the boards asked: D, C, B, A.
TEST_F(StationSockets, LockedStepsNeverOverlapAndAreGrantedInTheOrderAsked) {
    const std::string seq = sequence("locked.toml", kLockedMeasure);
    std::vector<std::string> sockets;
    const char* names[] = {"A", "B", "C", "D"};
    for (int i = 0; i < 4; ++i) {
        const std::string trace = (dir / ("trace-" + std::string(names[i]) + ".log")).string();
        sockets.push_back(std::string(names[i]) + " ORLIX_SIM_TRACE=" + trace +
                          " ORLIX_SIM_TRACE_TIME=1 ORLIX_SIM_HANG=sync_tx@1:" +
                          std::to_string(100 + 250 * (3 - i)) + ",set_clock_select@1:600");
    }
    const Result r = run_station({"--station-file", station_file(sockets), "-s", "A=1", "-s", "B=2",
                                  "-s", "C=3", "-s", "D=4", "-o", "st", seq});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    // A board asks as its first step's program ends; it holds the lock while
    // its second step's program runs.
    std::vector<std::pair<double, std::string>> asked;
    std::vector<std::pair<Span, std::string>> held;
    for (const char* name : names) {
        const std::filesystem::path trace = dir / ("trace-" + std::string(name) + ".log");
        const std::vector<Span> locked = spans_of(trace, "orlix_set_clock_select");
        std::vector<Span> sending = spans_of(trace, "orlix_sync_tx");
        ASSERT_EQ(locked.size(), 1u) << name;
        ASSERT_EQ(sending.size(), 2u) << name;
        std::sort(sending.begin(), sending.end(),
                  [](const Span& a, const Span& b) { return a.from < b.from; });
        asked.emplace_back(sending[0].to, name);
        held.emplace_back(locked[0], name);
    }
    std::sort(asked.begin(), asked.end());
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.first.from < b.first.from; });
    std::string asking, granted;
    for (std::size_t i = 0; i < held.size(); ++i) {
        asking += asked[i].second;
        granted += held[i].second;
        if (i > 0) {
            EXPECT_GT(held[i].first.from, held[i - 1].first.to)
                << held[i].second << " began before " << held[i - 1].second << " ended";
        }
    }
    EXPECT_EQ(granted, asking) << "granted in the order asked";
    EXPECT_NE(granted, "ABCD") << "the boards asked in another order than the sockets'";
}

// A board that waits for the lock another holds says so in its record at
// once, before its attempt starts, and its attempt keeps the time waited.
TEST_F(StationSockets, AWaitForALockIsInTheRecordBeforeTheAttemptStarts) {
    const std::string seq = sequence("locked.toml", kLockedMeasure);
    // A asks first and holds the lock for three seconds.
    const std::string file = station_file(
        {"A ORLIX_SIM_HANG=set_clock_select@1:3000", "B ORLIX_SIM_HANG=sync_tx@1:500"});
    Process st(station({"--station-file", file, "-s", "A=1", "-s", "B=2", "-o", "st", seq}));
    ASSERT_TRUE(test_support::wait_for_record(dir / "st" / "A", "\"step\":\"measure\"", 1));
    ASSERT_TRUE(test_support::wait_for_record(dir / "st" / "B", "\"event\":\"lock_wait\""));
    const std::vector<std::string> waiting = read_lines(dir / "st" / "B" / "record.jsonl");
    const json wait = json::parse(waiting.back());
    EXPECT_EQ(wait["event"], "lock_wait");
    EXPECT_EQ(wait["step"], "measure");
    EXPECT_EQ(wait["attempt"], 1);
    EXPECT_EQ(wait["lock"], "rf-source");
    const Result r = st.wait();
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::vector<std::string> lines = read_lines(dir / "st" / "B" / "record.jsonl");
    const auto at = std::find(lines.begin(), lines.end(), waiting.back());
    ASSERT_NE(at, lines.end());
    EXPECT_NE(at[1].find("\"event\":\"step_started\",\"step\":\"measure\""), std::string::npos)
        << "the attempt starts after the wait";
    const json b = checked_record(dir / "st" / "B");
    EXPECT_GT(b["steps"][1]["attempts"][0]["lock_wait_s"].get<double>(), 1.0);
    EXPECT_EQ(checked_record(dir / "st" / "A")["steps"][1]["lock"], "rf-source");
}

// A board that holds the lock past another's lock_timeout_s: the other's
// attempt is a TIMEOUT that never ran, and says why.
TEST_F(StationSockets, ALockWaitEndsAtTheStepsLockTimeout) {
    const std::string seq = sequence("bounded.toml", R"(
[[step]]
name = "prepare"
run = ["burst_sender", "-d", "{device}", "-n", "2"]
[[step]]
name = "measure"
run = ["refswitch_soak", "-d", "{device}", "-i", "2"]
lock = "rf-source"
lock_timeout_s = 1
timeout_s = 30
)");
    const std::string file = station_file(
        {"A ORLIX_SIM_HANG=set_clock_select@1:5000", "B ORLIX_SIM_HANG=sync_tx@1:500"});
    const Result r =
        run_station({"--station-file", file, "-s", "A=1", "-s", "B=2", "-o", "st", seq});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_EQ(board("st", "A")["verdict"], "PASS");
    const json b = checked_record(dir / "st" / "B");
    EXPECT_EQ(step_verdicts(b), (std::vector<std::string>{"prepare PASS", "measure TIMEOUT"}));
    const json attempt = b["steps"][1]["attempts"][0];
    EXPECT_EQ(attempt["note"], "no rf-source within 1 s: another board held it");
    EXPECT_GE(attempt["lock_wait_s"].get<double>(), 1.0);
    EXPECT_EQ(attempt["exit_status"], nullptr) << "it never ran";
    EXPECT_EQ(
        read_file(dir / "st" / "B" / "record.jsonl").find("\"step_started\",\"step\":\"measure\""),
        std::string::npos);
}

// One board hangs in a step with a deadline: it times out, and the others
// end long before it, as they would alone.
TEST_F(StationSockets, AHangingBoardDelaysNoOther) {
    const std::string seq = sequence("hang.toml", R"(
[[step]]
name = "transmit"
run = ["burst_sender", "-d", "{device}", "-n", "5"]
timeout_s = 3
grace_s = 1
stop_on_fail = true
[[step]]
name = "after"
run = ["burst_sender", "-d", "{device}", "-n", "5"]
)");
    const Result r =
        run_station({"--station-file", station_file({"A", "B ORLIX_SIM_HANG=sync_tx@1", "C"}), "-s",
                     "A=1", "-s", "B=2", "-s", "C=3", "-o", "st", seq});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_EQ(board("st", "B")["verdict"], "TIMEOUT");
    for (const char* socket : {"A", "C"}) {
        const json rec = board("st", socket);
        EXPECT_EQ(rec["verdict"], "PASS") << socket;
        double took = 0;
        for (const json& step : rec["steps"])
            took += step["attempts"][0]["duration_s"].get<double>();
        EXPECT_LT(took, 2.0) << socket << " waited for the hanging board";
    }
    EXPECT_TRUE(test_support::nothing_left_in(dir / "st" / "B"));
}

// The station killed with SIGKILL while one board holds the lock and others
// wait: every record reads back, nothing of a step is left, and --resume on
// the station's folder ends every board as an uninterrupted station does.
TEST_F(StationSockets, KilledAndResumedEndsEveryBoardAsIfUninterrupted) {
    const std::string seq = sequence("kill.toml", kLockedMeasure);
    const std::string file =
        station_file({"A ORLIX_SIM_HANG=set_clock_select@1:800",
                      "B ORLIX_SIM_HANG=set_clock_select@1:800", "C ORLIX_SIM_FAIL=sync_tx@1"});
    const std::vector<std::string> args = {
        "--station-file", file, "-s", "A=1", "-s", "B=2", "-s", "C=3", seq};
    std::vector<std::string> whole = args;
    whole.insert(whole.end(), {"-o", "whole"});
    const Result uninterrupted = run_station(whole);
    ASSERT_EQ(uninterrupted.exit_code, 1) << uninterrupted.out << uninterrupted.err;

    std::vector<std::string> killed_args = args;
    killed_args.insert(killed_args.end(), {"-o", "st"});
    Process killed(station(killed_args));
    const bool holding = test_support::wait_until(
        [&] {
            for (const char* socket : {"A", "B"}) {
                if (read_file(dir / "st" / socket / "record.jsonl")
                        .find("\"step_started\",\"step\":\"measure\"") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(30), std::chrono::milliseconds(5));
    ASSERT_TRUE(holding) << "no board took the lock";
    killed.send_signal(SIGKILL);
    const Result k = killed.wait();
    EXPECT_EQ(k.term_signal, SIGKILL);
    EXPECT_EQ(checked_station("st")["verdict"], nullptr) << "a station that never ended";
    for (const char* socket : {"A", "B", "C"}) {
        SCOPED_TRACE(socket);
        EXPECT_TRUE(test_support::nothing_left_in(dir / "st" / socket));
        for (const std::string& line : read_lines(dir / "st" / socket / "record.jsonl")) {
            EXPECT_FALSE(json::parse(line, nullptr, false).is_discarded()) << line;
        }
    }
    const Result resumed = run_station({"--resume", "st"});
    EXPECT_EQ(resumed.exit_code, uninterrupted.exit_code) << resumed.out << resumed.err;
    EXPECT_EQ(checked_station("st")["exit_status"], uninterrupted.exit_code);
    EXPECT_NE(resumed.out.find("Resuming station bench in "), std::string::npos) << resumed.out;
    for (const char* socket : {"A", "B", "C"}) {
        SCOPED_TRACE(socket);
        const json rec = checked_record(dir / "st" / socket);
        EXPECT_EQ(step_verdicts(rec), step_verdicts(board("whole", socket)));
        EXPECT_EQ(rec["verdict"], board("whole", socket)["verdict"]);
    }
    // A station whose boards all ended is only said again: nothing runs.
    const Result again = run_station({"--resume", "st"});
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_NE(again.out.find("every board ended already"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("[A]"), std::string::npos) << again.out;
}

// A station file at fault, or serials that do not fit it: exit status 2,
// the file's line and key named, and nothing run.
TEST_F(StationSockets, AStationFileAtFaultIsRefusedBeforeAnythingRuns) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"sim\"\ncolour = 1\n",
         "station.toml:5: socket[1].colour: unknown key"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"sim\"\n[[socket]]\nname = \"A\"\n"
         "device = \"sim\"\n",
         "station.toml:6: socket[2].name: \"A\" names an earlier socket too"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\n", "station.toml:2: socket[1].device: missing"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"\"\n",
         "station.toml:4: socket[1].device: empty"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n[[socket]]\nname = \"B\"\n"
         "device = \"sim:A\"\n",
         "station.toml:7: socket[2].device: \"sim:A\" is an earlier socket's device too"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
         "env = { ORLIX_DEVICE = \"sim:B\" }\n",
         "station.toml:5: socket[1].env.ORLIX_DEVICE: is the socket's device: give it as device"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"sim\"\nenv = { X = 1 }\n",
         "station.toml:5: socket[1].env.X: must be a string"},
        {"name = \"s\"\n[[socket]]\nname = \"A\"\ndevice = \"sim\"\nenv = { \"1X\" = \"a\" }\n",
         "station.toml:5: socket[1].env.1X: is no variable's name"},
        {"name = \"s\"\n[[socket]]\nname = \"../A\"\ndevice = \"sim\"\n",
         "station.toml:3: socket[1].name: letters, digits"},
        {"name = \"s\"\n[[socket]]\nname = \".hid\"\ndevice = \"sim\"\n",
         "station.toml:3: socket[1].name: must not begin with '.'"},
        {"name = \"s\"\n[[socket]]\nname = \"run.lock\"\ndevice = \"sim\"\n",
         "station.toml:3: socket[1].name: is a file of the station's folder"},
        {"name = \"s\"\n[[socket]]\nname = \"station.json\"\ndevice = \"sim\"\n",
         "station.toml:3: socket[1].name: is a file of the station's folder"},
        {"name = \"s\"\n", "station.toml:1: socket: needs one [[socket]] table or more"},
        {"name = \"s\"\n[[socket]\n", "station.toml:2: syntax"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        write_file(dir / "station.toml", c.text);
        const Result r = run_station({"--station-file", "station.toml", "-s", "A=1"});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(dir / "runs"));
    }
    station_file({"A", "B"});
    const struct {
        std::vector<std::string> args;
        const char* message;
    } misfits[] = {
        {{"-s", "C=1"}, "has no socket C"},
        {{"-s", "A=1", "-s", "A=2"}, "socket A has a serial already"},
        {{"-s", "SN-1"}, "with a station file, -s takes SOCKET=SERIAL"},
        {{}, "no socket has a serial"},
        {{"-s", "A=1", "-d", "sim"}, "the station file names each socket's device"},
    };
    for (const auto& m : misfits) {
        std::vector<std::string> args = {"--station-file", "station.toml"};
        args.insert(args.end(), m.args.begin(), m.args.end());
        const Result r = run_station(args);
        EXPECT_EQ(r.exit_code, 2) << m.message;
        EXPECT_NE(r.err.find(m.message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "runs"));
    }
}

}  // namespace
