// The history on both stores, in process: the sums the summary turns into
// figures, exact for large values close together.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "history/history.h"
#include "history_targets.h"
#include "outputs/statistics.h"
#include "process.h"
#include "sequence/measure.h"

namespace {

class StationHistoryStore : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        target_ = std::make_unique<test_support::HistoryTarget>(GetParam(), dir_.path());
        if (target_->skipped()) GTEST_SKIP() << "ORLIX_TEST_PG_URL names no server";
        HistoryFault fault;
        history_ = History::open(target_->target(), false, {5, -1, nullptr}, error_, fault);
        ASSERT_TRUE(history_) << error_;
    }
    // A run of a one-step sequence whose one measure read `value`.
    RunRecord run_of(const std::string& sequence, const std::string& serial, int n, double value,
                     const Limits& limits, Verdict verdict = Verdict::pass) {
        RunRecord r;
        r.station = "st";
        r.serial = serial;
        r.device = "sim";
        r.sequence_name = sequence;
        r.sequence_version = "1";
        r.sequence_sha256 = std::string(64, '0');
        r.output = "/runs/" + sequence + "-" + std::to_string(n);
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-%02dT08:00:00.000Z", 1 + n);
        r.started = r.ended = stamp;
        Attempt a;
        a.verdict = verdict;
        a.measurements = {judge("exit_status", "", 0.0, {0.0, 0.0, {}, {}}),
                          judge("value", "V", value, limits)};
        r.steps = {{"a", {"cat"}, {a}, verdict, "", false, false, ""}};
        r.verdict = verdict;
        return r;
    }

    test_support::TempDir dir_;
    std::unique_ptr<test_support::HistoryTarget> target_;
    std::unique_ptr<History> history_;
    std::string error_;
};

// The store adds up what the summary turns into figures: exact for large
// values close together, and counting only runs that ended.
TEST_P(StationHistoryStore, StoresSumsThatGiveTheFiguresWorkedOutBeforehand) {
    const double values[] = {10.02, 9.98, 10.05, 10.01, 9.97, 10.03, 10.00, 9.99};
    int n = 0;
    for (double v : values) {
        ASSERT_TRUE(history_->end_run(run_of("near", "A", n++, v, {9.9, 10.1, {}, {}}), error_))
            << error_;
        ASSERT_TRUE(history_->end_run(run_of("far", "C", n++, 915e6 + v, {}), error_));
    }
    // Neither a running run nor an aborted one counts.
    RunRecord running = run_of("near", "R", n++, 99, {});
    ASSERT_TRUE(history_->begin_run(running, error_));
    ASSERT_TRUE(history_->begin_run(running, error_)) << "a second begin finds the same row";
    ASSERT_TRUE(history_->end_run(run_of("near", "X", n++, 99, {}, Verdict::aborted), error_));

    std::vector<MeasurementTotals> totals;
    ASSERT_TRUE(history_->totals({}, totals, error_)) << error_;
    const std::vector<MeasurementSummary> s = summarize(totals);
    auto find = [&s](const std::string& sequence) {
        for (const MeasurementSummary& m : s) {
            if (m.sequence == sequence && m.measurement == "value") return m;
        }
        return MeasurementSummary{};
    };
    const MeasurementSummary near = find("near"), far = find("far");
    EXPECT_EQ(near.count, 8u);
    EXPECT_NEAR(*near.mean, 10.00625, 1e-9);
    EXPECT_NEAR(*near.sd, 0.026692695630078124, 1e-9);
    // The moving ranges come from the books, in the order the runs landed.
    EXPECT_NEAR(*near.sd_within, 0.036727456940222565, 1e-9);
    EXPECT_NEAR(*near.cpk, 0.8508620689655249, 1e-6);
    EXPECT_NEAR(*near.cpk_lower_95, 0.4295340386691174, 1e-6);
    EXPECT_NEAR(*near.ppk, 1.170732264477124, 1e-6);
    EXPECT_NEAR(*near.ppk_lower_95, 0.6207265909949534, 1e-6);
    EXPECT_NEAR(*far.sd_within, 0.036727456940222565, 1e-6);
    EXPECT_NEAR(*far.mean, 915e6 + 10.00625, 1e-6);
    EXPECT_NEAR(*far.sd, 0.026692695630078124, 1e-6) << "the spread kept at 915 MHz";
    EXPECT_FALSE(far.cpk.has_value()) << "no limit";

    std::vector<HistoryRun> runs, aborted;
    ASSERT_TRUE(history_->last_runs({}, 50, "", runs, error_));
    ASSERT_TRUE(history_->last_runs({}, 50, "ABORTED", aborted, error_));
    EXPECT_EQ(runs.size(), 18u);
    EXPECT_EQ(runs[0].serial, "X") << "the latest first";
    EXPECT_EQ(runs[1].verdict, "RUNNING");
    EXPECT_EQ(runs[1].started, "2026-12-17T08:00:00.000Z") << "times in the record's form";
    ASSERT_EQ(aborted.size(), 1u);
    std::string near_id;
    for (const MeasurementTotals& t : totals) {
        if (t.sequence == "near" && t.name == "value") near_id = t.series_id;
    }
    std::vector<SeriesPoint> series;
    ASSERT_TRUE(history_->points({}, near_id, "", 1000, series, error_)) << error_;
    std::vector<double> near_values;
    for (const SeriesPoint& p : series) near_values.push_back(p.value);
    EXPECT_EQ(near_values, std::vector<double>(std::begin(values), std::end(values)))
        << "in the order the runs landed, neither running nor aborted ones";
    ASSERT_TRUE(history_->points({}, near_id, "2026-12-09T00:00:00.000Z", 1000, series, error_));
    ASSERT_EQ(series.size(), 4u) << "the chart starts at its date";
    EXPECT_EQ(series[0].value, 9.97);
    EXPECT_EQ(series[0].started, "2026-12-09T08:00:00.000Z");
    EXPECT_EQ(series[0].serial, "A");
    SummaryFilter only_a;
    only_a.serial = "A";
    only_a.since = "2026-12-05T00:00:00.000Z";
    ASSERT_TRUE(history_->totals(only_a, totals, error_));
    ASSERT_EQ(totals.size(), 2u);
    EXPECT_EQ(totals[1].stretch.values.n, 6u) << "board A's runs from the 5th";
}

INSTANTIATE_TEST_SUITE_P(Stores, StationHistoryStore, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
