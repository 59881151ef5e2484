// station_run's history on both stores (SQLite always, PostgreSQL where
// ORLIX_TEST_PG_URL names a server), its summary against figures worked out
// beforehand, and a history that cannot be used or stops answering.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "board_run_fixture.h"
#include "history_targets.h"
#include "process.h"

namespace {

using nlohmann::json;
using test_support::BoardRun;
using test_support::lines_of;
using test_support::Process;
using test_support::read_file;
using test_support::Result;
using test_support::write_file;
using namespace std::chrono_literals;

using test_support::Rows;

// The first, old layout of the history, as version 1 of station_run made it.
const char* kVersionOneSchema[] = {
    "CREATE TABLE runs (id {key}, folder TEXT NOT NULL, started TEXT NOT NULL, serial TEXT NOT "
    "NULL, station TEXT NOT NULL, operator TEXT, device TEXT NOT NULL, sequence_name TEXT NOT "
    "NULL, "
    "sequence_version TEXT NOT NULL, sequence_sha256 TEXT NOT NULL, ended TEXT, verdict TEXT NOT "
    "NULL, exit_status INTEGER, UNIQUE (folder, started))",
    "CREATE TABLE attempts (id {key}, run_id BIGINT NOT NULL REFERENCES runs (id), step TEXT NOT "
    "NULL, attempt INTEGER NOT NULL, verdict TEXT NOT NULL, started TEXT, ended TEXT, duration_s "
    "DOUBLE PRECISION, exit_status INTEGER, term_signal INTEGER)",
    "CREATE TABLE measurements (id {key}, attempt_id BIGINT NOT NULL REFERENCES attempts (id), "
    "name TEXT NOT NULL, value DOUBLE PRECISION, units TEXT NOT NULL, low DOUBLE PRECISION, high "
    "DOUBLE PRECISION, marginal_low DOUBLE PRECISION, marginal_high DOUBLE PRECISION, margin "
    "DOUBLE PRECISION, margin_percent DOUBLE PRECISION, verdict TEXT NOT NULL)",
    "INSERT INTO runs (folder, started, serial, station, device, sequence_name, sequence_version, "
    "sequence_sha256, ended, verdict, exit_status) VALUES ('/old', '2026-01-01T00:00:00.000Z', "
    "'OLD-1', 'st', 'sim', 'stats', '1', 'x', '2026-01-01T00:00:01.000Z', 'PASS', 0)",
    "INSERT INTO attempts (run_id, step, attempt, verdict) VALUES (1, 'a', 1, 'FAIL')",
    "INSERT INTO attempts (run_id, step, attempt, verdict) VALUES (1, 'a', 2, 'PASS')",
    "INSERT INTO measurements (attempt_id, name, value, units, low, high, verdict) VALUES (2, "
    "'value', 10.0, 'V', 9.9, 10.1, 'PASS')",
};

class StationHistory : public test_support::BoardRun,
                       public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        BoardRun::SetUp();
        history_ = std::make_unique<test_support::HistoryTarget>(GetParam(), dir.path());
        if (history_->skipped()) {
            GTEST_SKIP() << "ORLIX_TEST_PG_URL names no PostgreSQL server to test against";
        }
        target_ = history_->target();
    }
    bool server() const { return history_->server(); }
    Rows query(const std::string& sql) const { return history_->query(sql); }
    // A time column as the record writes times: the server keeps its own type.
    std::string time_of(const std::string& column) const {
        return server() ? "to_char(" + column +
                              " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
                        : column;
    }
    // A step whose one measure reads the value in value.txt.
    std::string value_sequence(const std::string& name, const std::string& limits) {
        return sequence(
            name, "[[step]]\nname = \"a\"\nrun = [\"cat\", \"" + (dir / "value.txt").string() +
                      "\"]\n"
                      "  [[step.measure]]\n  name = \"value\"\n  stdout = 'value: (\\S+)'\n"
                      "  units = \"V\"\n" +
                      limits);
    }
    Result run_value(const std::string& seq, const std::string& value, const std::string& serial) {
        write_file(dir / "value.txt", "value: " + value + "\n");
        return run_station({"-s", serial, "--history", target_, seq});
    }

    std::unique_ptr<test_support::HistoryTarget> history_;
    std::string target_;
};

std::optional<std::string> text_or_null(const json& j) {
    if (j.is_null()) return std::nullopt;
    return j.is_string() ? j.get<std::string>() : j.dump();
}

// Numbers compare as numbers: a store may write 10.0 as 10.
void expect_number(const std::optional<std::string>& stored, const json& j,
                   const std::string& what) {
    if (j.is_null()) {
        EXPECT_FALSE(stored.has_value()) << what;
    } else {
        ASSERT_TRUE(stored.has_value()) << what;
        EXPECT_DOUBLE_EQ(std::stod(*stored), j.get<double>()) << what;
    }
}

TEST_P(StationHistory, RunIsWrittenWholeAndReadsBackEqual) {
    write_file(dir / "value.txt", "value: 10.25\n");
    const std::string seq = value_sequence("round.toml", "  low = 9\n  high = 11\n");
    const Result r = run_station({"-s", "SN-7", "--operator", "ada", "--station", "st-3", "-o",
                                  "run", "--history", target_, seq});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json rec = test_support::parse_file(dir / "run/record.json");
    const Rows runs = query("SELECT folder, " + time_of("started") +
                            ", serial, station, operator, device, sequence_name, "
                            "sequence_version, sequence_sha256, suite_version, " +
                            time_of("ended") + ", verdict, exit_status FROM runs");
    ASSERT_EQ(runs.size(), 1u);
    const std::vector<std::optional<std::string>> expected = {
        text_or_null(rec["output"]),
        text_or_null(rec["started"]),
        text_or_null(rec["serial"]),
        text_or_null(rec["station"]),
        text_or_null(rec["operator"]),
        text_or_null(rec["device"]),
        text_or_null(rec["sequence"]["name"]),
        text_or_null(rec["sequence"]["version"]),
        text_or_null(rec["sequence"]["sha256"]),
        text_or_null(rec["suite_version"]),
        text_or_null(rec["ended"]),
        text_or_null(rec["verdict"]),
        text_or_null(rec["exit_status"])};
    EXPECT_EQ(runs[0], expected);

    const Rows attempts =
        query("SELECT step, attempt, verdict, " + time_of("started") + ", " + time_of("ended") +
              ", exit_status, term_signal, duration_s FROM attempts ORDER BY id");
    const Rows measurements = query(
        "SELECT name, value, units, low, high, marginal_low, marginal_high, margin, "
        "margin_percent, verdict FROM measurements ORDER BY id");
    ASSERT_EQ(attempts.size(), 1u);
    const json& a = rec["steps"][0]["attempts"][0];
    EXPECT_EQ(attempts[0][0], "a");
    EXPECT_EQ(attempts[0][1], "1");
    EXPECT_EQ(attempts[0][2], text_or_null(a["verdict"]));
    EXPECT_EQ(attempts[0][3], text_or_null(a["started"]));
    EXPECT_EQ(attempts[0][4], text_or_null(a["ended"]));
    EXPECT_EQ(attempts[0][5], text_or_null(a["exit_status"]));
    EXPECT_EQ(attempts[0][6], text_or_null(a["signal"]));
    expect_number(attempts[0][7], a["duration_s"], "duration_s");
    ASSERT_EQ(measurements.size(), a["measurements"].size());
    for (std::size_t i = 0; i < measurements.size(); ++i) {
        const json& m = a["measurements"][i];
        SCOPED_TRACE(m.dump());
        EXPECT_EQ(measurements[i][0], text_or_null(m["name"]));
        EXPECT_EQ(measurements[i][2], text_or_null(m["units"]));
        EXPECT_EQ(measurements[i][9], text_or_null(m["verdict"]));
        const char* numbers[] = {"value",         "",       "",
                                 "low",           "high",   "marginal_low",
                                 "marginal_high", "margin", "margin_percent"};
        for (std::size_t c = 1; c < 9; ++c) {
            if (*numbers[c] != '\0') expect_number(measurements[i][c], m[numbers[c]], numbers[c]);
        }
    }
}

TEST_P(StationHistory, FourStationsWriteOneHistoryAtOnce) {
    write_file(dir / "value.txt", "value: 10\n");
    const std::string seq = value_sequence("four.toml", "  low = 9\n");
    std::vector<std::unique_ptr<Process>> stations;
    for (int i = 0; i < 4; ++i) {
        stations.push_back(std::make_unique<Process>(
            station({"-s", "SN-" + std::to_string(i), "-o", "run" + std::to_string(i), "--history",
                     target_, seq})));
    }
    for (auto& p : stations) {
        const Result r = p->wait();
        EXPECT_EQ(r.exit_code, 0) << r.err;
    }
    const Rows runs = query("SELECT serial, verdict FROM runs ORDER BY serial");
    EXPECT_EQ(runs, (Rows{{"SN-0", "PASS"}, {"SN-1", "PASS"}, {"SN-2", "PASS"}, {"SN-3", "PASS"}}));
    EXPECT_EQ(query("SELECT COUNT(*) FROM measurements"), (Rows{{"8"}}));
}

TEST_P(StationHistory, KilledRunIsSeenUnfinishedUntilResumed) {
    write_file(dir / "value.txt", "value: 10\n");
    const std::string seq = sequence("slow.toml", R"(
[[step]]
name = "slow"
run = ["sh", "-c", "sleep 2; cat ../value.txt"]
  [[step.measure]]
  name = "value"
  stdout = 'value: (\S+)'
)");
    Process p(station({"-o", "run", "--history", target_, seq}));
    ASSERT_TRUE(test_support::wait_for_record(dir / "run", "\"step_started\""));
    p.send_signal(SIGKILL);
    p.wait();
    EXPECT_EQ(query("SELECT verdict, ended FROM runs"), (Rows{{"RUNNING", std::nullopt}}));
    // The record names its history: a resume from another folder finds it.
    const Result r = test_support::run(
        test_support::launch_in("/", STATION_RUN_BIN, {"--resume", (dir / "run").string()}));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(query("SELECT verdict, exit_status FROM runs"), (Rows{{"PASS", "0"}}))
        << "the same run, completed";
}

TEST_P(StationHistory, OlderSchemaIsUpgradedInPlace) {
    // A history as the first version of the schema left it, with one run.
    for (std::string sql : kVersionOneSchema) {
        const std::size_t at = sql.find("{key}");
        if (at != std::string::npos) {
            sql.replace(at, 5, server() ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY");
        }
        query(sql);
    }
    if (server()) {
        query("CREATE TABLE history_schema (version INTEGER NOT NULL)");
        query("INSERT INTO history_schema VALUES (1)");
    } else {
        query("PRAGMA user_version = 1");
    }
    const Result r =
        run_value(value_sequence("stats.toml", "  low = 9.9\n  high = 10.1\n"), "10.02", "NEW-1");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(query(server() ? "SELECT version FROM history_schema" : "PRAGMA user_version"),
              (Rows{{"4"}}));
    // The old run landed first, as it started; the books were made from it
    // once, and the new run kept in them as it landed.
    EXPECT_EQ(query("SELECT serial, landed FROM runs ORDER BY landed"),
              (Rows{{"OLD-1", "1"}, {"NEW-1", "2"}}));
    EXPECT_EQ(query("SELECT s.sequence, p.landed FROM series_points p JOIN series s ON "
                    "s.id = p.series_id WHERE s.name = 'value' ORDER BY p.landed"),
              (Rows{{"stats", "1"}, {"stats.toml", "2"}}));
    EXPECT_EQ(query("SELECT attempt, decisive FROM attempts WHERE run_id = 1 ORDER BY attempt"),
              server() ? (Rows{{"1", "f"}, {"2", "t"}}) : (Rows{{"1", "0"}, {"2", "1"}}))
        << "the last attempt decided the old run's step";
    const Rows view = query(
        "SELECT serial, measurement, value FROM measurement_history WHERE measurement = 'value' "
        "ORDER BY run_started");
    ASSERT_EQ(view.size(), 2u) << "the view a chart reads";
    EXPECT_EQ(view[0][0], "OLD-1");
    expect_number(view[0][2], 10.0, "the old run's value");
    EXPECT_EQ(view[1][0], "NEW-1");
    expect_number(view[1][2], 10.02, "the new run's value");
    const Result summary =
        run_station({"--summary", "--json", "--sequence", "stats.toml", "--history", target_});
    ASSERT_EQ(summary.exit_code, 0) << summary.err;
    const json j = json::parse(summary.out);
    const json& value = j["measurements"][1];
    EXPECT_EQ(value["measurement"], "value");
    EXPECT_EQ(value["count"], 1) << "the old run belongs to another sequence name";
    EXPECT_EQ(j["runs"].size(), 1u);
    const Result old =
        run_station({"--summary", "--json", "--sequence", "stats", "--history", target_});
    EXPECT_EQ(json::parse(old.out)["measurements"][0]["count"], 1) << "the old run's value stays";
}

// A board whose figure breaks a run rule hears of it as its run is written:
// in its console line, its record (an event, and the document), its JUnit
// properties and its page; its verdict and exit status stand.
TEST_P(StationHistory, BrokenRunRuleIsSaidAtOnceAndTheVerdictStands) {
    const std::string seq = value_sequence("steady.toml", "  low = 0\n  high = 100\n");
    // A steady baseline of 25 boards sets the chart.
    const double steady[] = {10.0, 10.2, 9.9, 10.1, 10.0};
    for (int i = 0; i < 25; ++i) {
        const Result r = run_value(seq, std::to_string(steady[i % 5]), "B-" + std::to_string(i));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out.find("Alarm:"), std::string::npos) << r.out;
    }
    const Result r = run_value(seq, "14", "OUTLIER");
    EXPECT_EQ(r.exit_code, 0) << "the board passed its limits: " << r.err;
    EXPECT_NE(r.out.find("Alarm: a/value broke run rule we1 (the board's verdict stands)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Run PASS"), std::string::npos) << r.out;
    const std::size_t at = r.out.find("Record: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string folder = r.out.substr(at + 8, r.out.find("/record.json", at) - at - 8);
    const json record = json::parse(read_file(folder + "/record.json"));
    EXPECT_EQ(record["verdict"], "PASS");
    ASSERT_GE(record["alarms"].size(), 2u) << "we1 and nelson1 both see a point beyond 3 sigma";
    EXPECT_EQ(record["alarms"][0],
              (json{{"step", "a"}, {"measurement", "value"}, {"rule", "we1"}}));
    EXPECT_NE(
        read_file(folder + "/record.jsonl")
            .find(
                "{\"event\":\"alarm\",\"step\":\"a\",\"measurement\":\"value\",\"rule\":\"we1\"}"),
        std::string::npos);
    const std::string junit = read_file(folder + "/junit.xml");
    EXPECT_NE(junit.find("<property name=\"alarm\" value=\"a/value: we1\"/>"), std::string::npos);
    EXPECT_EQ(junit.find("<failure"), std::string::npos) << "a property, not a failure";
    EXPECT_NE(read_file(folder + "/report.html").find("id=\"alarms\""), std::string::npos);
    // The summary lists the alarm with its board, and calls the process out
    // of control while it stands among the latest points.
    const Result summary = run_station(
        {"--summary", "--json", "--spc", "--history", target_, "--sequence", "steady.toml"});
    ASSERT_EQ(summary.exit_code, 0) << summary.err;
    const json j = json::parse(summary.out);
    const json& m = j["measurements"][1];
    ASSERT_EQ(m["measurement"], "value");
    EXPECT_EQ(m["capability"], "not in control");
    EXPECT_EQ(m["standing_alarm"]["serial"], "OUTLIER");
    EXPECT_EQ(m["spc"]["alarm_counts"]["we1"], 1);
    EXPECT_EQ(m["spc"]["alarms"][0]["serial"], "OUTLIER");
}

// A run still going (or killed) is listed among the last runs; an aborted
// one is listed apart and counts in no figure.
TEST_P(StationHistory, SummaryListsRunningRunsAndLeavesAbortedOnesOut) {
    const std::string seq = value_sequence("listed.toml", "  low = 9\n");
    ASSERT_EQ(run_value(seq, "10", "PASSED").exit_code, 0);
    const std::string slow = sequence("slow.toml", R"(
[[step]]
name = "a"
run = ["sh", "-c", "sleep 30; echo 'value: 1'"]
  [[step.measure]]
  name = "value"
  stdout = 'value: (\S+)'
)");
    for (const auto& [serial, sig] :
         {std::pair{"KILLED", SIGKILL}, std::pair{"STOPPED", SIGTERM}}) {
        Process p(station({"-s", serial, "-o", serial, "--history", target_, slow}));
        ASSERT_TRUE(test_support::wait_for_record(dir / serial, "\"step_started\""));
        p.send_signal(sig);
        EXPECT_EQ(p.wait().term_signal, sig);
    }
    const Result r = run_station({"--summary", "--json", "--history", target_});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(test_support::schema_faults("summary.schema.json", r.out), "");
    const json j = json::parse(r.out);
    std::vector<std::string> runs, aborted;
    for (const json& run : j["runs"])
        runs.push_back(run["serial"].get<std::string>() + " " + run["verdict"].get<std::string>());
    for (const json& run : j["aborted_runs"]) aborted.push_back(run["serial"]);
    EXPECT_EQ(runs, lines_of({"STOPPED ABORTED", "KILLED RUNNING", "PASSED PASS"}));
    EXPECT_EQ(aborted, lines_of({"STOPPED"}));
    for (const json& m : j["measurements"]) {
        EXPECT_EQ(m["runs"], 1) << m["sequence"] << " " << m["measurement"]
                                << ": only the run that ended counts";
    }
    const Result text = run_station({"--summary", "--history", target_});
    EXPECT_NE(text.out.find("Aborted runs, left out of the figures:"), std::string::npos);
    const Result since = run_station(
        {"--summary", "--json", "--since", "2000-01-01T00:30:00+01:00", "--history", target_});
    EXPECT_EQ(json::parse(since.out)["runs"].size(), 3u);
}

// A server that stops answering holds the station for the time-out at most,
// and a termination signal ends the wait at once.
TEST_P(StationHistory, StalledServerIsWaitedForBoundedlyAndASignalEndsTheWait) {
    if (!server()) GTEST_SKIP() << "a server's backend to stop";
    const std::string seq = sequence("stall.toml",
                                     "[[step]]\nname = \"a\"\n"
                                     "run = [\"sh\", \"-c\", \"sleep 1\"]\n");
    int n = 0;
    for (const int sig : {0, SIGTERM}) {
        const std::string app =
            "orlix_stall_" + std::to_string(getpid()) + "_" + std::to_string(++n);
        const std::string folder = "run" + std::to_string(n);
        Process p(station(
            {"-o", folder, "--history", target_, "--history-timeout", sig ? "60" : "2", seq},
            {{"PGAPPNAME", app}}));
        ASSERT_TRUE(test_support::wait_for_record(dir / folder, "\"step_started\""));
        const Rows backend =
            query("SELECT pid FROM pg_stat_activity WHERE application_name = '" + app + "'");
        ASSERT_EQ(backend.size(), 1u);
        const pid_t pid = std::stoi(backend[0][0].value_or("0"));
        if (kill(pid, SIGSTOP) != 0) {
            p.wait();
            GTEST_SKIP() << "the server's backend cannot be stopped from here";
        }
        if (sig != 0) {
            ASSERT_TRUE(test_support::wait_for_record(dir / folder, "\"step_ended\""));
            std::this_thread::sleep_for(300ms);  // into the wait for the server
            p.send_signal(sig);
        }
        const auto start = std::chrono::steady_clock::now();
        const Result r = p.wait();
        const auto took = std::chrono::steady_clock::now() - start;
        kill(pid, SIGCONT);
        const json rec = checked_record(dir / folder);
        ASSERT_EQ(rec["errors"].size(), 1u) << rec.dump(1);
        const std::string error = rec["errors"][0];
        if (sig == 0) {
            EXPECT_EQ(r.exit_code, 2) << r.err;
            EXPECT_EQ(error, "history: the history server did not answer within 2 s");
        } else {
            EXPECT_EQ(r.term_signal, sig);
            EXPECT_LT(took, 30s) << "not the whole 60 s time-out";
            EXPECT_EQ(error, "history: the wait for the history server was cut short by a signal");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, StationHistory, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

// A target that is no history is the station's configuration at fault: the
// run is refused before anything touches the device. A server that cannot
// be reached is not: the run goes on, and its files say why it is exit 2.
TEST_F(BoardRun, UnusableHistoryRefusesTheRunOrIsCarriedByItsFiles) {
    write_file(dir / "broken.sqlite", std::string(4096, 'x'));
    const std::string seq = sequence("one.toml",
                                     "[[step]]\nname = \"send\"\n"
                                     "run = [\"burst_sender\", \"-n\", \"1\"]\n");
    const std::pair<std::string, std::string> refused[] = {
        {(dir / "broken.sqlite").string(), "file is not a database"},
        {"", "keeps nothing"},
        {":memory:", "keeps nothing"},
        {(dir / "no/such/folder.sqlite").string(), "unable to open"},
    };
    for (const auto& [history, message] : refused) {
        SCOPED_TRACE(history);
        const Result r = run_station({"-o", "refused", "--history", history, seq});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("history: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "refused")) << "nothing ran";
        EXPECT_EQ(trace(), lines_of({})) << "the device untouched";
    }
    const Result summary = run_station({"--summary", "--history", refused[0].first});
    EXPECT_EQ(summary.exit_code, 2);
    EXPECT_NE(summary.err.find(refused[0].second), std::string::npos) << summary.err;

    const std::string server =
        "postgresql://orlix:s3cret%21@/nodb?host=" + (dir / "nowhere").string() + "&port=1";
    const Result r = run_station({"-o", "run", "--history", server, seq});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("history: cannot reach the history server"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("s3cret"), std::string::npos) << "no password in a message";
    const json rec = checked_record(dir / "run");
    EXPECT_EQ(rec["verdict"], "ERROR");
    EXPECT_EQ(rec["exit_status"], 2);
    EXPECT_EQ(rec["steps"][0]["verdict"], "PASS") << "the board itself passed";
    ASSERT_EQ(rec["errors"].size(), 1u);
    EXPECT_EQ(rec["errors"][0].get<std::string>().rfind("history: cannot reach", 0), 0u);
    EXPECT_EQ(rec["history"],
              "postgresql://orlix@/nodb?host=" + (dir / "nowhere").string() + "&port=1")
        << "the record names its history, without the password";
    EXPECT_EQ(read_file(dir / "run/record.json").find("s3cret"), std::string::npos);
    EXPECT_NE(read_file(dir / "run/junit.xml").find("<testcase name=\"station\""),
              std::string::npos);
    EXPECT_NE(read_file(dir / "run/report.html").find("history: cannot reach"), std::string::npos);
}

}  // namespace
