// A history of a million runs, whose summary reads its books.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "history/history.h"
#include "process.h"

using nlohmann::json;

namespace {

// A million runs of one step and one figure, written by SQL straight into a
// history's tables as an older version left them (no books), with the last
// ten figures shifted far up; then its books made as an upgrade makes them.
void million_runs(const std::string& path) {
    std::string error;
    HistoryFault fault;
    ASSERT_TRUE(History::open(path, false, {}, error, fault)) << error;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    // Knuth's multiplicative hash: a steady scatter in [0, 1).
    const char* sql =
        "BEGIN;"
        "CREATE TEMP TABLE k AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
        "WHERE i < 1000000) SELECT i, strftime('%Y-%m-%dT%H:%M:%S', 1767225600 + i * 30, "
        "'unixepoch') || '.000Z' AS t, (i * 2654435761 % 4294967296) / 4294967296.0 "
        "+ CASE WHEN i > 999990 THEN 5 ELSE 0 END AS v FROM n;"
        "INSERT INTO runs (id, folder, started, serial, station, device, sequence_name, "
        "sequence_version, sequence_sha256, ended, verdict, exit_status, landed) SELECT i, "
        "'/runs/' || i, t, 'SN-' || i, 'bench', 'sim', 'acceptance', '1', '0', t, 'PASS', 0, i "
        "FROM k;"
        "INSERT INTO attempts (id, run_id, step, attempt, verdict, decisive) SELECT i, i, "
        "'receive', 1, 'PASS', 1 FROM k;"
        "INSERT INTO measurements (id, attempt_id, name, value, units, low, high, verdict) "
        "SELECT i, i, 'level', v, 'dB', -1, 7, 'PASS' FROM k;"
        "COMMIT;";
    char* message = nullptr;
    const int code = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    const std::string why = message ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(code, SQLITE_OK) << why;
    const std::unique_ptr<History> history = History::open(path, true, {}, error, fault);
    ASSERT_TRUE(history) << error;
    ASSERT_TRUE(history->rebuild_books(error)) << error;
}

}  // namespace

TEST(StationFleet, SummaryOfAMillionRunsReadsItsBooks) {
    test_support::TempDir dir;
    const std::string history = (dir / "million.sqlite").string();
    million_runs(history);
    if (HasFatalFailure()) return;
    // The figures computed here, the same way round as the generator.
    double sum = 0, squares = 0;
    for (std::uint64_t i = 1; i <= 1'000'000; ++i) {
        const double v = static_cast<double>(i * 2654435761ULL % 4294967296ULL) / 4294967296.0 +
                         (i > 999'990 ? 5 : 0);
        sum += v;
        squares += v * v;
    }
    const double mean = sum / 1e6;
    const double sd = std::sqrt((squares - sum * mean) / (1e6 - 1));
    const test_support::Result r = test_support::run(test_support::launch_in(
        dir.path(), STATION_RUN_BIN, {"--summary", "--spc", "--json", "--history", history}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_EQ(j["measurements"].size(), 1u);
    const json& m = j["measurements"][0];
    EXPECT_EQ(m["count"], 1'000'000);
    EXPECT_NEAR(m["mean"].get<double>(), mean, 1e-9);
    EXPECT_NEAR(m["sd"].get<double>(), sd, 1e-7);
    // The shift at the end stands: not in control, whatever the indices say.
    EXPECT_EQ(m["capability"], "not in control");
    ASSERT_TRUE(m["standing_alarm"].is_object());
    EXPECT_GT(std::stoi(m["standing_alarm"]["serial"].get<std::string>().substr(3)), 999'990);
    // The chart draws the latest points, in landing order, up to the last run.
    const json& points = m["spc"]["points"];
    ASSERT_FALSE(points.empty());
    EXPECT_LE(points.size(), 1000u);
    EXPECT_EQ(points.back()["serial"], "SN-1000000");
    EXPECT_EQ(j["runs"][0]["serial"], "SN-1000000");
}
