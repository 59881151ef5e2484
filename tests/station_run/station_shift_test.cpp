// station_run over a whole shift: slips of the command line and what boards
// and operators do to a station's folders never lose the history or a
// verdict, and a station moved or copied resumes itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board_run_fixture.h"
#include "process.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::parse_file;
using test_support::Process;
using test_support::read_file;
using test_support::read_lines;
using test_support::Result;
using test_support::step_verdicts;
using test_support::write_file;
using namespace std::chrono_literals;

// The history's runs by serial, each "SERIAL VERDICT EXIT_STATUS".
std::vector<std::string> history_runs(const std::filesystem::path& file) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, "SELECT serial, verdict, exit_status FROM runs ORDER BY serial, id",
            [](void* rows, int, char** values, char**) {
                static_cast<std::vector<std::string>*>(rows)->push_back(
                    std::string(values[0]) + " " + values[1] + " " + (values[2] ? values[2] : "-"));
                return 0;
            },
            &out, nullptr);
    }
    sqlite3_close(db);
    return out;
}

TEST_F(BoardRun, AnOutputNeverReplacesTheHistoryNorAFileOfAnotherKind) {
    const std::string seq = sequence("quick.toml", "[[step]]\nname = \"a\"\nrun = [\"true\"]\n");
    ASSERT_EQ(run_station({"-s", "SN-1", "-o", "run", seq}).exit_code, 0);
    const std::string history = read_file(dir / "station.sqlite");
    std::filesystem::create_hard_link(dir / "station.sqlite", dir / "history-link.html");
    write_file(dir / "notes.txt", "the shift's notes\n");
    const struct {
        const char* html;
        const char* message;
    } slips[] = {
        {"station.sqlite", "station.sqlite: is the history station.sqlite: left as it is"},
        {"history-link.html", "history-link.html: is the history"},
        {"notes.txt", "notes.txt: exists and is not a page station_run wrote: left as it is"},
        {"run", "run: is no plain file"},
    };
    for (const auto& slip : slips) {
        SCOPED_TRACE(slip.html);
        const Result r = run_station({"--summary", "--html", slip.html});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "") << "refused before the summary";
        EXPECT_NE(r.err.find(slip.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(dir / "station.sqlite"), history);
    EXPECT_EQ(read_file(dir / "notes.txt"), "the shift's notes\n");
    // A page of its own kind is replaced, and the history still takes runs.
    ASSERT_EQ(run_station({"--summary", "--html", "fleet.html"}).exit_code, 0);
    EXPECT_EQ(run_station({"--summary", "--html", "fleet.html"}).exit_code, 0);
    EXPECT_EQ(run_station({"-s", "SN-2", "-o", "second", seq}).exit_code, 0);
    EXPECT_EQ(history_runs(dir / "station.sqlite"),
              (std::vector<std::string>{"SN-1 PASS 0", "SN-2 PASS 0"}));
    // --report leaves a file there that is no page of its own.
    write_file(dir / "run/report.html", "kept by hand\n");
    const Result report = run_station({"--report", "run"});
    EXPECT_EQ(report.exit_code, 2);
    EXPECT_EQ(read_file(dir / "run/report.html"), "kept by hand\n");
}

// A step that takes the names of the record's files (as a full disk would
// refuse them): each board's record says ERROR, and so do the station's
// line, station.json and exit status; the history keeps that verdict.
TEST_F(BoardRun, BoardsThatCannotWriteTheirRecordAreErrorsOfTheStation) {
    const std::string seq = sequence("squat.toml", R"(
[[step]]
name = "squat"
run = ["mkdir", "record.json", "junit.xml", "report.html"]
)");
    write_file(dir / "station.toml",
               "name = \"bench\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
               "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n");
    const Result r = run_station(
        {"--station-file", "station.toml", "-s", "A=SN-1", "-s", "B=SN-2", "-o", "st", seq});
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("  A            SN-1             ERROR\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Station ERROR (exit status 2)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("the record cannot be written whole: "), std::string::npos) << r.err;
    const json station = parse_file(dir / "st" / "station.json");
    EXPECT_EQ(station["verdict"], "ERROR");
    EXPECT_EQ(station["exit_status"], 2);
    for (const char* socket : {"A", "B"}) {
        SCOPED_TRACE(socket);
        const std::vector<std::string> lines = read_lines(dir / "st" / socket / "record.jsonl");
        ASSERT_FALSE(lines.empty());
        const json ended = json::parse(lines.back());
        EXPECT_EQ(ended["event"], "run_ended");
        EXPECT_EQ(ended["verdict"], "ERROR");
        EXPECT_EQ(ended["exit_status"], 2);
        EXPECT_TRUE(std::filesystem::is_directory(dir / "st" / socket / "record.json"));
    }
    EXPECT_EQ(history_runs(dir / "station.sqlite"),
              (std::vector<std::string>{"SN-1 ERROR 2", "SN-2 ERROR 2"}))
        << "the history says what the record says";
}

// A station killed with one board done and one mid-step, then moved: resumed
// where it is now, the done board stays PASS and the other ends as it would
// have; a copy resumes itself, never the original.
TEST_F(BoardRun, AMovedOrCopiedStationFolderResumesItself) {
    const std::string seq = sequence("two.toml", R"(
[[step]]
name = "first"
run = ["burst_sender", "-d", "{device}", "-n", "1"]
[[step]]
name = "second"
run = ["burst_sender", "-d", "{device}", "-n", "1"]
)");
    write_file(dir / "station.toml",
               "name = \"bench\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n"
               "[[socket]]\nname = \"B\"\ndevice = \"sim:B\"\n"
               "env = { ORLIX_SIM_HANG = \"sync_tx@1:1500\" }\n");
    Process killed(station(
        {"--station-file", "station.toml", "-s", "A=SN-1", "-s", "B=SN-2", "-o", "st", seq}));
    ASSERT_TRUE(test_support::wait_for_record(dir / "st" / "A", "\"event\":\"run_ended\""));
    ASSERT_TRUE(test_support::wait_for_record(dir / "st" / "B", "\"event\":\"step_started\""));
    killed.send_signal(SIGKILL);
    killed.wait();
    ASSERT_TRUE(test_support::nothing_left_in(dir / "st" / "B"));
    std::filesystem::rename(dir / "st", dir / "moved");
    std::filesystem::copy(dir / "moved", dir / "copy", std::filesystem::copy_options::recursive);
    const std::string left = read_file(dir / "moved" / "B" / "record.jsonl");

    const Result copy = run_station({"--resume", "copy"});
    EXPECT_EQ(copy.exit_code, 0) << copy.out << copy.err;
    EXPECT_EQ(read_file(dir / "moved" / "B" / "record.jsonl"), left) << "the original untouched";
    const Result moved = run_station({"--resume", "moved"});
    EXPECT_EQ(moved.exit_code, 0) << moved.out << moved.err;
    for (const char* folder : {"copy", "moved"}) {
        SCOPED_TRACE(folder);
        const json station = parse_file(dir / folder / "station.json");
        EXPECT_EQ(station["verdict"], "PASS");
        for (const json& b : station["boards"]) {
            EXPECT_EQ(b["verdict"], "PASS") << b.dump();
            EXPECT_EQ(b["folder"], b["socket"]) << "named from the station's folder";
        }
        EXPECT_EQ(step_verdicts(checked_record(dir / folder / "B")),
                  (std::vector<std::string>{"first PASS", "second PASS"}));
    }
}

// A step that stops its keeper cannot hold the station: at the deadline and
// its grace the station kills the step and the keeper itself.
TEST_F(BoardRun, AStepThatStopsItsKeeperStillEndsAtItsDeadline) {
    const std::string seq = sequence("stop.toml", R"(
[[step]]
name = "stopper"
run = ["sh", "-c", "kill -STOP $PPID; sleep 60"]
timeout_s = 1
grace_s = 1
)");
    const auto began = std::chrono::steady_clock::now();
    const Result r = run_station({"-o", "run", seq});
    EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(step_verdicts(rec), std::vector<std::string>{"stopper TIMEOUT"});
    EXPECT_TRUE(test_support::nothing_left_in(dir / "run"));
}

// A board's step that redraws a progress bar with '\r' for 20 MB, shown live
// on a station: its line is passed on in bounded pieces, not kept whole.
TEST_F(BoardRun, ALineThatNeverEndsIsPassedOnInBoundedPieces) {
    const std::string seq = sequence("bar.toml", R"(
[[step]]
name = "bar"
run = ["sh", "-c", "yes 'progress 50%' | tr '\n' '\r' | head -c 20000000"]
)");
    write_file(dir / "station.toml",
               "name = \"bench\"\n[[socket]]\nname = \"A\"\ndevice = \"sim:A\"\n");
    const Result r =
        run_station({"--station-file", "station.toml", "-s", "A=1", "-v", "-o", "st", seq});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::size_t longest = 0, pieces = 0;
    for (const std::string& line : test_support::split_lines(r.out)) {
        longest = std::max(longest, line.size());
        pieces += line.rfind("[A] ", 0) == 0 && line.size() == 64u * 1024 + 4;
    }
    EXPECT_LE(longest, 64u * 1024 + 4);
    EXPECT_GE(pieces, 2u);
}

// Numbers read one way, decimal, as measures read them; a value the capture
// step would refuse, and a malformed test control, refused before anything
// runs.
TEST_F(BoardRun, NumbersAreDecimalEverywhereAndBadValuesAreRefusedAtOnce) {
    const std::string seq = sequence("quick.toml", "[[step]]\nname = \"a\"\nrun = [\"true\"]\n");
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"--summary", "--spc", "--baseline", "0x10"}, "--baseline takes a whole number"},
        {{"--history-timeout", "0x5", seq}, "--history-timeout takes seconds"},
        {{"--output-limit", "inf", seq}, "--output-limit takes megabytes"},
        {{"--expected-tone", "1e308", seq}, "--expected-tone takes a frequency in Hz"},
        {{"--expected-tone", "0x4e20", seq}, "--expected-tone takes a frequency in Hz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Result r = run_station(c.args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    for (const char* hold : {"step_started@", "step_started@x", "@2", "step started", "a@0"}) {
        const Result r = run_station({seq}, {{"ORLIX_STATION_HOLD", hold}});
        EXPECT_EQ(r.exit_code, 2) << hold;
        EXPECT_NE(r.err.find("ORLIX_STATION_HOLD: "), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "runs")) << "nothing ran";
    EXPECT_EQ(run_station({"--expected-tone", "25000.5", "-o", "ok", seq}).exit_code, 0);
}

}  // namespace
