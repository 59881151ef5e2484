// station_run's history on both stores (SQLite always, PostgreSQL where
// ORLIX_TEST_PG_URL names a server), its summary against figures worked out
// beforehand, and the report page in a real browser.
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

#include "process.h"
#include "station_test.h"

namespace {

using nlohmann::json;
using test_support::lines_of;
using test_support::Process;
using test_support::read_file;
using test_support::Result;
using test_support::StationRun;
using test_support::write_file;
using namespace std::chrono_literals;

using Rows = std::vector<std::vector<std::optional<std::string>>>;

// The same URL with another database.
std::string with_database(const std::string& url, const std::string& name) {
    const std::size_t authority = url.find("://") + 3;
    const std::size_t slash = url.find('/', authority);
    const std::size_t query = url.find('?', authority);
    if (slash == std::string::npos || (query != std::string::npos && slash > query)) {
        return url.substr(0, query) + "/" + name +
               (query == std::string::npos ? "" : url.substr(query));
    }
    return url.substr(0, slash + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

Rows pg_query(const std::string& url, const std::string& sql) {
    Rows rows;
    PGconn* conn = PQconnectdb(url.c_str());
    EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << PQresultErrorMessage(r);
    for (int i = 0; i < PQntuples(r); ++i) {
        rows.emplace_back();
        for (int c = 0; c < PQnfields(r); ++c) {
            rows.back().push_back(PQgetisnull(r, i, c)
                                      ? std::nullopt
                                      : std::optional<std::string>(PQgetvalue(r, i, c)));
        }
    }
    PQclear(r);
    PQfinish(conn);
    return rows;
}

Rows sqlite_query(const std::string& path, const std::string& sql) {
    Rows rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int n, char** values, char**) {
            auto* r = static_cast<Rows*>(out);
            r->emplace_back();
            for (int c = 0; c < n; ++c) {
                r->back().push_back(values[c] ? std::optional<std::string>(values[c])
                                              : std::nullopt);
            }
            return 0;
        },
        &rows, &error);
    EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    return rows;
}

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

std::atomic<int> databases{0};

class StationHistory : public test_support::StationRun,
                       public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        StationRun::SetUp();
        if (server()) {
            const char* url = std::getenv("ORLIX_TEST_PG_URL");
            if (url == nullptr || *url == '\0') {
                GTEST_SKIP() << "ORLIX_TEST_PG_URL names no PostgreSQL server to test against";
            }
            // A database of this test's own, dropped at its end.
            base_ = url;
            name_ = "orlix_" + std::to_string(getpid()) + "_" + std::to_string(++databases);
            pg_query(base_, "CREATE DATABASE " + name_);
            target_ = with_database(base_, name_);
        } else {
            target_ = (dir / "station.sqlite").string();
        }
    }
    void TearDown() override {
        if (!name_.empty()) pg_query(base_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    }
    bool server() const { return std::string(GetParam()) == "postgres"; }
    Rows query(const std::string& sql) const {
        return server() ? pg_query(target_, sql) : sqlite_query(target_, sql);
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

    std::string target_;
    std::string base_, name_;
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
    const Rows runs = query(
        "SELECT folder, started, serial, station, operator, device, sequence_name, "
        "sequence_version, sequence_sha256, suite_version, ended, verdict, exit_status FROM runs");
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

    const Rows attempts = query(
        "SELECT step, attempt, verdict, started, ended, exit_status, term_signal, duration_s "
        "FROM attempts ORDER BY id");
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
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (read_file(dir / "run/record.jsonl").find("step_started") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    p.send_signal(SIGKILL);
    p.wait();
    EXPECT_EQ(query("SELECT verdict, ended FROM runs"), (Rows{{"RUNNING", std::nullopt}}));
    const Result r = run_station({"--resume", "run", "--history", target_});
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
              (Rows{{"2"}}));
    EXPECT_EQ(query("SELECT attempt, decisive FROM attempts WHERE run_id = 1 ORDER BY attempt"),
              (Rows{{"1", "0"}, {"2", "1"}}))
        << "the last attempt decided the old run's step";
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

// Figures worked out beforehand with Python 3.11's statistics module
// (statistics.mean and statistics.stdev, the sample standard deviation), and
// checked by hand for the first set: sum of squared deviations 0.0049875,
// over 7, square root 0.026693.
TEST_P(StationHistory, SummaryMatchesFiguresWorkedOutBeforehand) {
    const std::string a = value_sequence("stats-a", "  low = 9.90\n  high = 10.10\n");
    const std::string b = value_sequence("stats-b", "  high = 4.0\n");
    const char* set_a[] = {"10.02", "9.98", "10.05", "10.01", "9.97", "10.03", "10.00", "9.99"};
    const char* set_b[] = {"3.1", "2.9", "3.4", "3.0", "2.7", "3.3"};
    for (const char* v : set_a) ASSERT_EQ(run_value(a, v, "A").exit_code, 0);
    for (const char* v : set_b) ASSERT_EQ(run_value(b, v, "B").exit_code, 0);
    // The first set again, 915 MHz higher: large values close together keep
    // their spread.
    const std::string c = value_sequence("stats-c", "");
    for (const char* v : set_a) {
        ASSERT_EQ(run_value(c, std::to_string(915e6 + std::stod(v)), "C").exit_code, 0);
    }

    const Result r = run_station({"--summary", "--json", "--history", target_});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json j = json::parse(r.out);
    auto find = [&j](const std::string& sequence) {
        for (const json& m : j["measurements"]) {
            if (m["sequence"] == sequence && m["measurement"] == "value") return m;
        }
        return json();
    };
    auto near = [](const json& v, double expected) {
        EXPECT_NEAR(v.get<double>(), expected, std::abs(expected) * 5e-5) << "to 4 figures";
    };
    const json ma = find("stats-a"), mb = find("stats-b");
    EXPECT_EQ(ma["count"], 8);
    near(ma["mean"], 10.00625);
    near(ma["sd"], 0.026692695630078124);
    near(ma["cpu"], 1.170732264477124);
    near(ma["cpl"], 1.3268298997407317);
    near(ma["cpk"], 1.170732264477124);
    EXPECT_EQ(ma["capable"], false);
    near(ma["min"], 9.97);
    near(ma["max"], 10.05);
    EXPECT_EQ(mb["count"], 6);
    near(mb["mean"], 3.0666666666666664);
    near(mb["sd"], 0.25819888974716104);
    near(mb["cpk"], 1.2049281521534192);
    EXPECT_TRUE(mb["cpl"].is_null()) << "no low limit";
    EXPECT_EQ(mb["fail_fraction"], 0.0);
    const json mc = find("stats-c");
    near(mc["mean"], 915e6 + 10.00625);
    near(mc["sd"], 0.026692695630078124);
    EXPECT_TRUE(mc["cpk"].is_null()) << "no limit";
    EXPECT_EQ(j["runs"][0]["serial"], "C");

    const Result text = run_station({"--summary", "--serial", "A", "--history", target_});
    EXPECT_NE(text.out.find("below 1.33"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("stats-b"), std::string::npos) << "only board A's runs";
    EXPECT_EQ(text.out.find("stats-c"), std::string::npos);
    const Result none =
        run_station({"--summary", "--json", "--since", "2999-01-01", "--history", target_});
    EXPECT_EQ(json::parse(none.out)["measurements"].size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Stores, StationHistory, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

// A history that cannot be used is said so; the run and its record go on.
TEST_F(StationRun, UnusableHistoryIsReportedAndTheRecordStillWritten) {
    write_file(dir / "broken.sqlite", std::string(4096, 'x'));
    const std::string seq = sequence("one.toml",
                                     "[[step]]\nname = \"send\"\n"
                                     "run = [\"burst_sender\", \"-n\", \"1\"]\n");
    const std::pair<std::string, std::string> cases[] = {
        {(dir / "broken.sqlite").string(), "file is not a database"},
        {"postgresql://orlix@/nodb?host=" + (dir / "nowhere").string() + "&port=1",
         "cannot reach the history server"},
    };
    int n = 0;
    for (const auto& [history, message] : cases) {
        SCOPED_TRACE(history);
        const std::string folder = "run" + std::to_string(++n);
        const Result r = run_station({"-o", folder, "--history", history, seq});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("history: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(checked_record(dir / folder)["verdict"], "PASS");
        const Result summary = run_station({"--summary", "--history", history});
        EXPECT_EQ(summary.exit_code, 2);
        EXPECT_NE(summary.err.find(message), std::string::npos) << summary.err;
    }
}

// The page in a real browser: rendered to a picture and a PDF, and its DOM
// holding the verdict, every step and every measurement with its value.
TEST_F(StationRun, ReportPageReadsInABrowserAndPrints) {
    const char* chromium = "/usr/bin/chromium";
    if (access(chromium, X_OK) != 0) GTEST_SKIP() << "Chromium is not installed";
    ASSERT_EQ(run_station({"-i", "image.rbf", "-s", "SN-0042", "--operator", "ada", "-o", "run"})
                  .exit_code,
              0);
    const std::string page = read_file(dir / "run/report.html");
    EXPECT_LT(page.size(), 2u << 20) << "under 2 MB";
    EXPECT_EQ(page.find("<script"), std::string::npos) << "no script needed";
    EXPECT_EQ(page.find("http://"), std::string::npos) << "no outside resource";
    EXPECT_EQ(page.find("https://"), std::string::npos);
    EXPECT_NE(page.find("src=\"data:image/png;base64,"), std::string::npos)
        << "the capture's picture";
    // Written again from the record, it is the same page.
    std::filesystem::rename(dir / "run/report.html", dir / "first.html");
    ASSERT_EQ(run_station({"--report", "run"}).exit_code, 0);
    EXPECT_EQ(read_file(dir / "run/report.html"), page);

    auto browse = [&](std::vector<std::string> args) {
        std::vector<std::string> all = {"--headless",
                                        "--no-sandbox",
                                        "--disable-gpu",
                                        "--disable-quic",
                                        "--no-first-run",
                                        "--disable-background-networking",
                                        "--disable-component-update",
                                        "--disable-sync",
                                        "--user-data-dir=" + (dir / "chromium").string()};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("file://" + (dir / "run/report.html").string());
        return test_support::run(test_support::launch_in(dir.path(), chromium, all));
    };
    const Result dom = browse({"--dump-dom"});
    ASSERT_EQ(dom.exit_code, 0) << dom.err;
    EXPECT_NE(dom.out.find("id=\"verdict\">PASS</div>"), std::string::npos);
    const json rec = test_support::parse_file(dir / "run/record.json");
    for (const json& step : rec["steps"]) {
        const std::string name = step["name"];
        EXPECT_NE(dom.out.find("<td>" + name + "</td>"), std::string::npos) << name;
        for (const json& m : step["attempts"].back()["measurements"]) {
            char value[64];
            std::snprintf(value, sizeof value, "%.6g", m["value"].get<double>());
            const std::string row = "<td>" + name + "</td><td>" + m["name"].get<std::string>() +
                                    "</td><td class=\"n\">" + value + "</td>";
            EXPECT_NE(dom.out.find(row), std::string::npos) << row;
        }
    }
    ASSERT_EQ(browse({"--window-size=1200,1900", "--screenshot=" + (dir / "page.png").string()})
                  .exit_code,
              0);
    EXPECT_EQ(read_file(dir / "page.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
    ASSERT_EQ(browse({"--print-to-pdf=" + (dir / "page.pdf").string(), "--no-pdf-header-footer"})
                  .exit_code,
              0);
    EXPECT_EQ(read_file(dir / "page.pdf").substr(0, 5), "%PDF-");
    // Kept for the manual: the page as a person sees it.
    std::filesystem::copy_file(dir / "page.png", BINARY_DIR "/station_report.png",
                               std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
