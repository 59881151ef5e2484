// The history on both stores, in process: the sums the summary turns into
// figures, exact for large values close together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "history/history.h"
#include "history/series_state.h"
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
        r.steps = {{"a", {"cat"}, {a}, verdict, "", false, false, "", ""}};
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

// The books recomputed from the runs alone, in landing order, by plain
// two-pass arithmetic and the chart of each whole series, and compared with
// what the history kept.
void expect_books_as_recomputed(const test_support::HistoryTarget& target,
                                const std::string& when) {
    SCOPED_TRACE(when);
    const bool server = target.server();
    const std::string started =
        server ? "to_char(r.started AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
               : "r.started";
    const test_support::Rows values = target.query(
        "SELECT r.sequence_name, a.step, m.name, r.landed, " + started +
        ", m.value, m.verdict FROM runs r JOIN attempts a ON a.run_id = r.id AND a.decisive "
        "JOIN measurements m ON m.attempt_id = a.id WHERE r.landed IS NOT NULL "
        "ORDER BY r.landed, m.id");
    struct Value {
        std::string landed, day;
        std::optional<double> value;
        std::string verdict;
    };
    std::map<std::string, std::vector<Value>> series;  // "sequence/step/name"
    for (const auto& r : values) {
        series[*r[0] + "/" + *r[1] + "/" + *r[2]].push_back(
            {*r[3], r[4]->substr(0, 10),
             r[5] ? std::optional<double>(std::stod(*r[5])) : std::nullopt, *r[6]});
    }
    const auto kept = [&](const std::string& sql) {
        std::map<std::string, std::vector<std::vector<std::optional<std::string>>>> out;
        for (auto& r : target.query(sql)) {
            const std::string key = *r[0];
            r.erase(r.begin());
            out[key].push_back(r);
        }
        return out;
    };
    const std::string name =
        "s.sequence " + std::string(server ? "||" : "||") + " '/' || s.step || '/' || s.name";
    auto points =
        kept("SELECT " + name +
             ", p.landed, p.value, p.moving_range, p.ewma FROM series_points p JOIN series "
             "s ON s.id = p.series_id ORDER BY p.landed");
    auto days = kept("SELECT " + name +
                     ", d.day, d.runs, d.marginal, d.failed, d.n, d.mean, d.root_m2, d.min, d.max, "
                     "d.mr_mean, d.mr_count, d.first_value, d.last_value FROM series_days d JOIN "
                     "series s ON s.id = d.series_id ORDER BY d.day");
    auto totals = kept("SELECT " + name +
                       ", t.runs, t.marginal, t.failed, t.n, t.mean, t.root_m2, t.min, t.max, "
                       "t.mr_mean, t.mr_count, t.first_value, t.last_value FROM series_totals t "
                       "JOIN series s ON s.id = t.series_id");
    auto alarms = kept("SELECT " + name +
                       ", a.landed, a.rule, a.span FROM series_alarms a JOIN series s ON "
                       "s.id = a.series_id ORDER BY a.landed, a.rule");
    const auto near = [](const std::optional<std::string>& got, double want) {
        ASSERT_TRUE(got.has_value()) << "none where " << want << " was wanted";
        EXPECT_NEAR(std::stod(*got), want, 1e-9 * std::max(1.0, std::fabs(want)));
    };
    // A stretch's columns from `at` on, by two passes over its values.
    const auto expect_stretch = [&](const std::vector<std::optional<std::string>>& row,
                                    std::size_t at, const std::vector<const Value*>& xs) {
        std::vector<double> vals;
        std::size_t marginal = 0, failed = 0;
        for (const Value* x : xs) {
            if (x->value) vals.push_back(*x->value);
            marginal += x->verdict == "MARGINAL";
            failed += x->verdict == "FAIL" || x->verdict == "ERROR";
        }
        EXPECT_EQ(std::stoul(*row[at]), xs.size());
        EXPECT_EQ(std::stoul(*row[at + 1]), marginal);
        EXPECT_EQ(std::stoul(*row[at + 2]), failed);
        EXPECT_EQ(std::stoul(*row[at + 3]), vals.size());
        if (vals.empty()) return;
        double mean = 0, m2 = 0, mr = 0;
        for (double x : vals) mean += x / static_cast<double>(vals.size());
        for (double x : vals) m2 += (x - mean) * (x - mean);
        for (std::size_t i = 1; i < vals.size(); ++i) mr += std::fabs(vals[i] - vals[i - 1]);
        near(row[at + 4], mean);
        near(row[at + 5], std::sqrt(m2));
        near(row[at + 6], *std::min_element(vals.begin(), vals.end()));
        near(row[at + 7], *std::max_element(vals.begin(), vals.end()));
        if (vals.size() > 1) near(row[at + 8], mr / static_cast<double>(vals.size() - 1));
        EXPECT_EQ(std::stoul(*row[at + 9]), vals.size() - 1);
        near(row[at + 10], vals.front());
        near(row[at + 11], vals.back());
    };
    std::size_t compared = 0;
    for (const auto& [key, v] : series) {
        SCOPED_TRACE(key);
        // The points, with their moving range and (from the baseline on) EWMA.
        std::vector<Point> chartable;
        std::vector<std::string> landed;
        std::optional<double> last;
        std::vector<double> moving;
        for (const Value& x : v) {
            if (!x.value) continue;
            chartable.push_back({*x.value, "", "", {}, {}, std::stoull(x.landed)});
            landed.push_back(x.landed);
            moving.push_back(last ? std::fabs(*x.value - *last) : -1);
            last = x.value;
        }
        const auto& p = points[key];
        ASSERT_EQ(p.size(), chartable.size());
        // The books set the chart once its whole baseline is there.
        const std::optional<Chart> chart = chartable.size() >= kept_settings().baseline_runs
                                               ? control_chart(chartable, kept_settings())
                                               : std::nullopt;
        double ewma = chart ? chart->centre : 0;
        for (std::size_t i = 0; i < p.size(); ++i) {
            EXPECT_EQ(*p[i][0], landed[i]);
            near(p[i][1], chartable[i].value);
            if (moving[i] < 0) {
                EXPECT_FALSE(p[i][2].has_value());
            } else {
                near(p[i][2], moving[i]);
            }
            if (chart) {
                ewma = 0.2 * chartable[i].value + 0.8 * ewma;
                near(p[i][3], ewma);
            } else {
                EXPECT_FALSE(p[i][3].has_value());
            }
        }
        // Every alarm of the whole series' chart, at its point.
        std::vector<std::string> want, got;
        for (const Alarm& a : chart ? chart->alarms : std::vector<Alarm>{}) {
            want.push_back(landed[a.points.back()] + " " + rule_name(a.rule) + " " +
                           std::to_string(a.points.size()));
        }
        for (const auto& a : alarms[key]) got.push_back(*a[0] + " " + *a[1] + " " + *a[2]);
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want);
        // Each day's figures by two passes over its values.
        std::map<std::string, std::vector<const Value*>> by_day;
        for (const Value& x : v) by_day[x.day].push_back(&x);
        const auto& d = days[key];
        ASSERT_EQ(d.size(), by_day.size());
        std::size_t k = 0;
        for (const auto& [day, xs] : by_day) {
            const auto& row = d[k++];
            EXPECT_EQ(*row[0], day);
            expect_stretch(row, 1, xs);
            ++compared;
        }
        // The whole series, in landing order.
        std::vector<const Value*> all;
        for (const Value& x : v) all.push_back(&x);
        ASSERT_EQ(totals[key].size(), 1u);
        expect_stretch(totals[key][0], 0, all);
    }
    EXPECT_GT(compared, 0u);
}

// The books equal a recomputation from the runs after every run: a steady
// series and a drifting one across days, values missing and verdicts of
// every kind, a run that lands long after it started, one written again,
// many at once, and an older history brought up to date.
TEST_P(StationHistoryStore, BooksEqualARecomputationFromTheRunsAfterEveryRun) {
    std::mt19937_64 random(35);
    std::normal_distribution<double> normal(0, 1);
    auto board = [&](int n) {
        RunRecord r = run_of("books", "B" + std::to_string(n), n, 10 + 0.1 * normal(random),
                             {9.0, 11.0, 9.5, 10.5});
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "2026-12-%02dT%02d:00:00.000Z", 1 + n / 20, n % 20);
        r.started = r.ended = stamp;
        Attempt& a = r.steps[0].attempts[0];
        // A drift from board 40 on, and now and then no value or a failed one.
        a.measurements.push_back(
            judge("dc", "dBFS", -40 + 0.3 * normal(random) + (n >= 40 ? 0.25 * (n - 39) : 0.0),
                  {-50.0, -30.0, {}, {}}));
        if (n % 13 == 5) a.measurements[1] = judge("value", "V", std::nullopt, {9.0, 11.0, {}, {}});
        if (n % 11 == 3) a.measurements[1] = judge("value", "V", 12.0, {9.0, 11.0, {}, {}});
        return r;
    };
    RunRecord late = board(7);
    ASSERT_TRUE(history_->begin_run(late, error_)) << error_;
    for (int n = 0; n < 60; ++n) {
        if (n == 7) continue;
        ASSERT_TRUE(history_->end_run(board(n), error_)) << error_;
        if (n == 30) {
            ASSERT_TRUE(history_->end_run(late, error_)) << "a run that lands late";
        }
        expect_books_as_recomputed(*target_, "after run " + std::to_string(n));
    }
    // Said again as it was, as a resume after its landing says it: the books
    // stand as they are.
    ASSERT_TRUE(history_->end_run(late, error_)) << error_;
    expect_books_as_recomputed(*target_, "a landed run said again as it was");
    RunRecord again = board(12);
    again.steps[0].attempts[0].measurements[1] = judge("value", "V", 10.7, {9.0, 11.0, {}, {}});
    again.output = "/runs/books-12";
    ASSERT_TRUE(history_->end_run(again, error_)) << error_;
    expect_books_as_recomputed(*target_, "a landed run written again");
    std::vector<RunRecord> many;
    for (int n = 60; n < 130; ++n) many.push_back(board(n));
    ASSERT_TRUE(history_->end_runs(many, error_)) << error_;
    expect_books_as_recomputed(*target_, "runs written many at once");
    // As the schema before the books left it: then opened again.
    for (const char* sql :
         {"DROP TABLE series_alarms", "DROP TABLE series_points", "DROP TABLE series_days",
          "DROP TABLE series_totals", "DROP TABLE series", "DROP INDEX runs_by_landed",
          "DROP INDEX runs_by_serial", "DROP INDEX runs_by_verdict",
          "ALTER TABLE runs DROP COLUMN landed"}) {
        target_->query(sql);
    }
    target_->query(target_->server() ? "UPDATE history_schema SET version = 3"
                                     : "PRAGMA user_version = 3");
    history_.reset();
    HistoryFault fault;
    history_ = History::open(target_->target(), true, {5, -1, nullptr}, error_, fault);
    ASSERT_TRUE(history_) << error_;
    expect_books_as_recomputed(*target_, "an older history brought up to date");
    ASSERT_TRUE(history_->end_run(board(130), error_)) << error_;
    expect_books_as_recomputed(*target_, "the first run after the upgrade");
}

// One instrument that prints an extreme value breaks no summary: the spread of
// 0 and 2e154 is kept, and values too far apart for a double are said to be
// so, not read as no spread.
TEST_P(StationHistoryStore, ExtremeValuesKeepTheSummaryWhole) {
    int n = 0;
    for (double v : {0.0, 2e154, 0.0, 2e154}) {
        ASSERT_TRUE(history_->end_run(run_of("huge", "H", n++, v, {}), error_)) << error_;
    }
    for (double v : {-1.7e308, 1.7e308, -1.7e308}) {
        ASSERT_TRUE(history_->end_run(run_of("beyond", "B", n++, v, {0.0, 1.0, {}, {}}), error_))
            << error_;
    }
    Summary summary;
    ASSERT_TRUE(read_summary(*history_, {}, true, "", summary, error_)) << error_;
    for (const MeasurementSummary& m : summary.measurements) {
        if (m.measurement != "value") continue;
        SCOPED_TRACE(m.sequence);
        if (m.sequence == "huge") {
            EXPECT_FALSE(m.not_finite);
            EXPECT_NEAR(*m.mean, 1e154, 1e140);
            EXPECT_NEAR(*m.sd, 2e154 / std::sqrt(3.0), 1e141);
        } else {
            EXPECT_TRUE(m.not_finite);
            EXPECT_FALSE(m.sd.has_value());
            EXPECT_FALSE(m.cpk.has_value());
            EXPECT_EQ(m.capability, "");
        }
    }
    const std::string json = summary_json(summary), text = summary_text(summary);
    EXPECT_EQ(json.find("nan"), std::string::npos);
    EXPECT_EQ(json.find("inf"), std::string::npos);
    EXPECT_NE(text.find("too far apart"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Stores, StationHistoryStore, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
