// The history of fifty simulated boards: their receiver figures as
// capture_inspect makes them, kept as the station keeps them, charted. In
// control, no rule fires; a DC offset that rises a little with every board
// from board 30 on is seen within eight boards. Then the same history
// through station_run --summary --spc and its fleet page in a browser.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "history/history.h"
#include "outputs/statistics.h"
#include "process.h"
#include "schemas.h"
#include "sequence/measure.h"
#include "simulated_captures.h"

namespace {

using nlohmann::json;

constexpr int kBoards = 50;
constexpr int kDriftFrom = 30;  // the first board whose DC drifts

// Fifty boards, each with its own receiver (amplitude, noise, DC offset
// drawn around a type's typical values), and with `drift` a DC offset that
// grows by 0.25 units a board from board 30 on; kept in the history at `path`.
void fifty_boards(const std::string& path, bool drift) {
    std::string error;
    HistoryFault fault;
    const std::unique_ptr<History> history = History::open(path, false, {}, error, fault);
    ASSERT_TRUE(history) << error;
    std::mt19937_64 random(4242);
    std::normal_distribution<double> normal(0, 1);
    for (int board = 1; board <= kBoards; ++board) {
        orlix_sim::SignalSettings s;
        s.seed = static_cast<std::uint64_t>(board);
        for (auto& ch : s.channels) {
            ch.amplitude = 1800 + 20 * normal(random);
            ch.noise = std::round(8 + normal(random));
            ch.dc_i = 20 + 0.8 * normal(random);
        }
        if (drift && board >= kDriftFrom) s.channels[0].dc_i += 0.25 * (board - kDriftFrom + 1);
        const CaptureFigures f = test_support::figures_of(test_support::capture(s, 65536));
        RunRecord run;
        run.station = "fleet";
        run.serial = "SN-" + std::to_string(1000 + board);
        run.device = "sim";
        run.sequence_name = "receiver";
        run.sequence_version = "1";
        run.sequence_sha256 = std::string(64, '0');
        run.output = "/runs/" + run.serial;
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-01T08:%02d:00.000Z", board);
        run.started = run.ended = stamp;
        Attempt a;
        a.measurements = {judge("ch0_dc", "dBFS", f.channels[0].dc_dbfs, {{}, -30.0, {}, -36.0}),
                          judge("ch0_snr", "dB", *f.channels[0].snr_db, {30.0, {}, 40.0, {}}),
                          judge("ch1_dc", "dBFS", f.channels[1].dc_dbfs, {{}, -30.0, {}, -36.0})};
        a.verdict = Verdict::pass;
        for (const Measurement& m : a.measurements) a.verdict = worse(a.verdict, m.verdict);
        run.steps = {
            {"capture-checks", {"capture_inspect"}, {a}, a.verdict, "", false, false, "", ""}};
        run.verdict = a.verdict;
        ASSERT_TRUE(history->end_run(run, error)) << error;
    }
}

// Every measurement's chart from the history.
Summary charted(const std::string& path) {
    std::string error;
    HistoryFault fault;
    const std::unique_ptr<History> history = History::open(path, true, {}, error, fault);
    EXPECT_TRUE(history) << error;
    Summary summary;
    EXPECT_TRUE(history && read_summary(*history, {}, true, "", summary, error)) << error;
    return summary;
}

TEST(StationFleet, InControlNoAlarmADriftingDcWithinEightBoards) {
    test_support::TempDir dir;
    fifty_boards((dir / "clean.sqlite").string(), false);
    const Summary clean = charted((dir / "clean.sqlite").string());
    ASSERT_EQ(clean.measurements.size(), 3u);
    for (std::size_t i = 0; i < clean.measurements.size(); ++i) {
        ASSERT_TRUE(clean.charts[i].chart.has_value());
        EXPECT_EQ(clean.charts[i].chart->alarms.size(), 0u) << clean.measurements[i].measurement;
        EXPECT_FALSE(clean.measurements[i].standing.has_value());
    }
    fifty_boards((dir / "drift.sqlite").string(), true);
    const Summary drift = charted((dir / "drift.sqlite").string());
    for (std::size_t i = 0; i < drift.measurements.size(); ++i) {
        const std::string name = drift.measurements[i].measurement;
        const Chart& c = *drift.charts[i].chart;
        const std::vector<Point>& points = drift.charts[i].points;
        if (name != "ch0_dc") {
            EXPECT_EQ(c.alarms.size(), 0u) << name << " does not drift";
            continue;
        }
        ASSERT_FALSE(c.alarms.empty()) << "the drift is seen";
        std::size_t first = points.size();
        for (const Alarm& a : c.alarms) {
            first = std::min(first, a.points.back());
            std::cout << "  " << rule_name(a.rule) << " fired on board " << a.points.back() + 1
                      << " (" << points[a.points.back()].serial << ")" << std::endl;
        }
        EXPECT_GE(first + 1, static_cast<std::size_t>(kDriftFrom)) << "no alarm before the drift";
        EXPECT_LE(first + 1, static_cast<std::size_t>(kDriftFrom + 8)) << "seen by board 38";
        // A drifting process is no capable one, whatever its Cpk.
        EXPECT_EQ(drift.measurements[i].capability, "not in control");
        ASSERT_TRUE(drift.measurements[i].standing.has_value());
    }
}

TEST(StationFleet, SummaryChartsTheHistoryAndTheFleetPageDrawsIt) {
    test_support::TempDir dir;
    const std::string history = (dir / "drift.sqlite").string();
    fifty_boards(history, true);
    test_support::Result r = test_support::run(test_support::launch_in(
        dir.path(), STATION_RUN_BIN, {"--summary", "--spc", "--json", "--history", history}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(test_support::schema_faults("summary.schema.json", r.out), "");
    const json j = json::parse(r.out);
    ASSERT_EQ(j["measurements"].size(), 3u);
    for (const json& m : j["measurements"]) {
        SCOPED_TRACE(m["measurement"].get<std::string>());
        for (const char* key : {"cpk", "ppk", "cpk_lower_95", "ppk_lower_95", "sd_within"}) {
            EXPECT_TRUE(m[key].is_number()) << key;
        }
        const json& spc = m["spc"];
        for (const char* key : {"centre", "ucl", "lcl", "mr_bar"}) {
            EXPECT_TRUE(spc[key].is_number()) << key;
        }
        EXPECT_EQ(spc["baseline_runs"], 25);
        EXPECT_NEAR(spc["ucl"].get<double>() - spc["centre"].get<double>(),
                    3 / 1.128 * spc["mr_bar"].get<double>(), 1e-9 * spc["mr_bar"].get<double>());
        // Every point, in landing order, with its moving range and EWMA.
        ASSERT_EQ(spc["points"].size(), static_cast<std::size_t>(kBoards));
        EXPECT_TRUE(spc["points"][0]["moving_range"].is_null());
        EXPECT_TRUE(spc["points"][1]["moving_range"].is_number());
        EXPECT_TRUE(spc["points"][kBoards - 1]["ewma"].is_number());
        for (const json& a : spc["alarms"]) {
            EXPECT_EQ(a["serial"].get<std::string>().rfind("SN-", 0), 0u);
            EXPECT_EQ(a["started"].get<std::string>().size(), 24u);
        }
        EXPECT_EQ(spc["alarms"].empty(), m["measurement"] != "ch0_dc");
    }
    r = test_support::run(test_support::launch_in(
        dir.path(), STATION_RUN_BIN,
        {"--summary", "--spc", "--baseline", "20", "--json", "--history", history}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const json twenty = json::parse(r.out);
    for (const json& m : twenty["measurements"]) {
        EXPECT_EQ(m["spc"]["baseline_runs"], 20);
    }
    r = test_support::run(test_support::launch_in(
        dir.path(), STATION_RUN_BIN,
        {"--summary", "--spc", "--history", history, "--html", "fleet.html"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(
        r.out.find("Control charts: individuals, centre from a baseline of the first 25 runs"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Fleet page: fleet.html"), std::string::npos);
    test_support::write_file(BINARY_DIR "/station_fleet_summary.txt", r.out);
    const std::string page = test_support::read_file(dir / "fleet.html");
    EXPECT_EQ(page.find("<script"), std::string::npos) << "no script";
    EXPECT_EQ(page.find("http"), std::string::npos) << "no outside resource";
    if (std::string(CHROMEDRIVER_BIN).empty() || std::string(CHROMIUM_BIN).empty()) {
        GTEST_SKIP() << "Chromium and its driver are not installed";
    }
    r = test_support::run(test_support::launch_in(
        dir.path(), PYTHON3_BIN,
        {SOURCE_DIR "/tests/data/check_fleet_page.py", CHROMEDRIVER_BIN, CHROMIUM_BIN,
         (dir / "fleet.html").string(), (dir / "fleet.png").string(), "3"}));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const json& section : json::parse(r.out)) {
        EXPECT_EQ(section["points"], kBoards) << section["title"];
        EXPECT_EQ(section["alarms"] > 0, section["listed_alarms"] > 0) << section["title"];
        EXPECT_EQ(section["overlapping_labels"], 0) << section["title"];
    }
    std::filesystem::copy_file(dir / "fleet.png", BINARY_DIR "/station_fleet.png",
                               std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
