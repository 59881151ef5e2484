// The summary's arithmetic in process: Cpk and Ppk with their bounds, the run
// rules against their published rates, and the fleet page's chart.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "history/history.h"
#include "history/spc.h"
#include "outputs/fleet_page.h"
#include "outputs/statistics.h"

namespace {

// A measurement's totals as the books keep them, from its values in landing
// order.
MeasurementTotals totals_of(const std::vector<double>& values, std::optional<double> low,
                            std::optional<double> high) {
    MeasurementTotals t;
    t.sequence = "stats";
    t.step = "a";
    t.name = "value";
    t.low = low;
    t.high = high;
    for (double v : values) t.stretch.add(v, Verdict::pass);
    return t;
}

// Cpk from the spread within (the mean moving range / 1.128), Ppk from the
// overall one, each with Bissell's one-sided 95 % lower bound, C - 1.645
// sqrt(1 / 9n + C^2 / 2(n - 1)) (Bissell, "How reliable is your capability
// index?", Applied Statistics 39, 1990; Montgomery, Introduction to
// Statistical Quality Control, on Cpk and Ppk). Worked out beforehand with
// Python 3.11's statistics module, and by hand for the first table: moving
// ranges 0.04 0.07 0.04 0.04 0.06 0.03 0.01, mean 0.041429, over 1.128
// 0.036727; Cpu = (10.10 - 10.00625) / (3 x 0.036727) = 0.85086.
TEST(StationSummary, CpkAndPpkWithTheirBoundsMatchFiguresWorkedOutBeforehand) {
    struct Table {
        std::vector<double> values;
        std::optional<double> low, high;
        double mean, sd, sd_within, cpk, cpk_lower, ppk, ppk_lower;
        std::string capability;
    };
    const Table tables[] = {
        {{10.02, 9.98, 10.05, 10.01, 9.97, 10.03, 10.00, 9.99},
         9.9,
         10.1,
         10.00625,
         0.026692695630078124,
         0.036727456940222565,
         0.8508620689655249,
         0.4295340386691174,
         1.170732264477124,
         0.6207265909949534,
         "not capable"},
        {{10.00, 10.03, 10.01, 10.02, 10.00, 10.02},
         9.9,
         10.1,
         10.013333333333334,
         0.012110601416389708,
         0.017730496453900332,
         1.6293333333333555,
         0.7526992208562411,
         2.3854214911071474,
         1.124507704426583,
         "not yet shown"},
        {{10.00, 10.01, 10.00, 10.02, 10.01, 10.00, 10.01, 10.02, 10.00, 10.01,
          10.00, 10.01, 10.02, 10.01, 10.00, 10.01, 10.02, 10.01, 10.00, 10.01},
         9.9,
         10.1,
         10.0085,
         0.007451598203705788,
         0.009798432250839659,
         3.1127428571429197,
         2.273093760043274,
         4.093081667343776,
         2.993965179712275,
         "capable"},
    };
    for (const Table& t : tables) {
        SCOPED_TRACE(t.capability);
        const MeasurementSummary s = summarize({totals_of(t.values, t.low, t.high)}).at(0);
        EXPECT_NEAR(*s.mean, t.mean, 1e-12);
        EXPECT_NEAR(*s.sd, t.sd, 1e-12);
        EXPECT_NEAR(*s.sd_within, t.sd_within, 1e-12);
        EXPECT_NEAR(*s.cpk, t.cpk, 1e-9);
        EXPECT_NEAR(*s.cpk_lower_95, t.cpk_lower, 1e-9);
        EXPECT_NEAR(*s.ppk, t.ppk, 1e-9);
        EXPECT_NEAR(*s.ppk_lower_95, t.ppk_lower, 1e-9);
        EXPECT_EQ(s.capability, t.capability);
    }
    // One limit: the one-sided index alone (3.1 2.9 3.4 3.0 2.7 3.3 under 4.0:
    // mean moving range 0.4, Cpu 0.87733, Ppu 1.20493).
    const MeasurementSummary high =
        summarize({totals_of({3.1, 2.9, 3.4, 3.0, 2.7, 3.3}, {}, 4.0)})[0];
    EXPECT_FALSE(high.cpl.has_value());
    EXPECT_NEAR(*high.cpk, 0.8773333333333335, 1e-9);
    EXPECT_NEAR(*high.ppk, 1.2049281521534192, 1e-9);
    // No limit, or one value: no index.
    EXPECT_FALSE(summarize({totals_of({1, 2, 3}, {}, {})})[0].cpk.has_value());
    EXPECT_FALSE(summarize({totals_of({1}, 0.0, 2.0)})[0].sd.has_value());
    Summary summary;
    summary.measurements = summarize({totals_of(tables[0].values, 9.9, 10.1)});
    const std::string text = summary_text(summary);
    EXPECT_NE(text.find("not capable"), std::string::npos) << text;
}

// The run rules on a centre of 0 and a sigma of 1, one series a rule, each
// firing worked out by hand (where the pattern is first complete), and one
// series that fires nothing.
TEST(StationSpc, EachRuleFiresWhereItsPatternCompletes) {
    struct Series {
        const char* name;
        std::vector<double> values;
        std::vector<std::pair<std::size_t, std::string>> fired;
    };
    const Series series[] = {
        {"beyond 3 sigma", {0.5, -0.3, 3.2}, {{2, "we1"}, {2, "nelson1"}}},
        {"2 of 3 beyond 2", {0.1, 2.3, -0.2, 2.5}, {{3, "we2"}, {3, "nelson5"}}},
        {"4 of 5 beyond 1", {1.2, 1.5, 0.3, 1.1, 1.4}, {{4, "we3"}, {4, "nelson6"}}},
        {"8 then 9 on one side",
         {0.2, 0.5, 0.1, 0.3, 0.8, 0.4, 0.6, 0.2, 0.1},
         {{7, "we4"}, {8, "nelson2"}}},
        {"6 rising", {-1.0, -0.5, 0, 0.3, 0.6, 0.9}, {{5, "nelson3"}}},
        {"14 alternating",
         {0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1, 0.1, -0.1},
         {{13, "nelson4"}}},
        {"15 within 1",
         {0.1, 0.2, -0.1, -0.2, 0.1, 0.3, -0.3, -0.1, 0.2, 0.1, -0.2, -0.3, 0.2, 0.1, -0.1},
         {{14, "nelson7"}}},
        {"8 outside 1 both sides", {1.5, -1.5, 1.2, -1.8, 1.6, -1.3, 1.4, -1.2}, {{7, "nelson8"}}},
        // The EWMA of 1.2 from 0: 1.2 (1 - 0.8^i) against 3 sqrt(0.2 / 1.8 (1 - 0.64^i)),
        // 0.948 < 0.978 at i = 7, 0.999 > 0.986 at i = 8.
        {"a steady shift of 1.2",
         std::vector<double>(8, 1.2),
         {{4, "we3"}, {4, "nelson6"}, {7, "we4"}, {7, "ewma"}}},
        {"in control",
         {0.5,  1.2, -0.3, -0.8, 0.4, 0.9,  -1.1, 0.2, 0.6,  -0.4,
          -0.2, 1.3, 0.1,  -0.6, 0.3, -1.2, 0.7,  0.2, -0.5, 0.8},
         {}},
    };
    for (const Series& s : series) {
        SCOPED_TRACE(s.name);
        RuleWatch watch(0, 1, SpcSettings{});
        std::vector<std::pair<std::size_t, std::string>> fired;
        for (std::size_t i = 0; i < s.values.size(); ++i) {
            for (Rule r : watch.add(s.values[i])) fired.emplace_back(i, rule_name(r));
        }
        EXPECT_EQ(fired, s.fired);
    }
    // The chart takes its centre and limits from the baseline alone.
    std::vector<Point> points;
    for (double v : {10.0, 10.2, 9.9, 10.1, 10.0, 10.3, 9.8, 10.1, 14.0}) {
        points.push_back({v, "SN", "2026-12-01T00:00:00.000Z", {}, {}, 0});
    }
    SpcSettings settings;
    settings.baseline_runs = 8;
    const std::optional<Chart> chart = control_chart(points, settings);
    ASSERT_TRUE(chart.has_value());
    EXPECT_NEAR(chart->centre, 10.05, 1e-12);
    EXPECT_NEAR(chart->mr_bar, (0.2 + 0.3 + 0.2 + 0.1 + 0.3 + 0.5 + 0.3) / 7, 1e-12);
    EXPECT_NEAR(chart->ucl, 10.05 + 2.66 * chart->mr_bar, 0.001 * chart->mr_bar);
    ASSERT_EQ(chart->alarms.size(), 3u);
    EXPECT_EQ(chart->alarms[0].points, std::vector<std::size_t>{8}) << "the outlier";
}

// The chart's false alarms in control, over normal values from a seeded
// generator, against the published average run lengths: 370.4 for the
// 3-sigma chart alone (1 / 0.0027), 91.75 with the Western Electric rules 1
// to 4 (Champ and Woodall, "Exact results for Shewhart control charts with
// supplementary runs rules", Technometrics 29, 1987).
TEST(StationSpc, InControlRunLengthsMatchThePublishedOnes) {
    std::mt19937_64 random(20261209);
    std::normal_distribution<double> normal(0, 1);
    auto average_run_length = [&](const std::set<std::string>& rules, int runs) {
        double total = 0;
        for (int r = 0; r < runs; ++r) {
            RuleWatch watch(0, 1, SpcSettings{});
            for (std::size_t length = 1;; ++length) {
                const std::vector<Rule> fired = watch.add(normal(random));
                if (std::any_of(fired.begin(), fired.end(),
                                [&](Rule x) { return rules.count(rule_name(x)) > 0; })) {
                    total += static_cast<double>(length);
                    break;
                }
            }
        }
        return total / runs;
    };
    const double shewhart = average_run_length({"we1"}, 10000);
    const double western_electric = average_run_length({"we1", "we2", "we3", "we4"}, 10000);
    EXPECT_NEAR(shewhart, 370.4, 370.4 * 0.03);
    EXPECT_NEAR(western_electric, 91.75, 91.75 * 0.03);
    std::cout << "average run lengths in control: 3-sigma " << shewhart
              << " (published 370.4), Western Electric rules " << western_electric
              << " (published 91.75)" << std::endl;
}

// A chart whose control limits lie close together against wide limits: its
// axis labels stand a line apart, never over each other.
TEST(StationFleetPage, AxisLabelsOfCloseLimitsStandApart) {
    Summary summary;
    summary.spc = true;
    MeasurementSummary m;
    m.sequence = "seq";
    m.step = "step";
    m.measurement = "tight";
    m.low = 0;
    m.high = 1000;
    summary.measurements.push_back(m);
    MeasurementChart chart;
    for (int i = 0; i < 30; ++i)
        chart.points.push_back({500 + 0.001 * (i % 3), "SN", "t", {}, {}, 0});
    chart.chart = control_chart(chart.points, summary.settings);
    ASSERT_TRUE(chart.chart);
    summary.charts.push_back(chart);
    const std::string page = fleet_page(summary);
    std::vector<double> ys;
    const std::regex label(
        R"re(<text x="[0-9.]+" y="([0-9.]+)" font-size="11" text-anchor="end")re");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), label);
         it != std::sregex_iterator(); ++it) {
        ys.push_back(std::stod((*it)[1]));
    }
    ASSERT_EQ(ys.size(), 3u);
    std::sort(ys.begin(), ys.end());
    EXPECT_GE(ys[1] - ys[0], 12.0);
    EXPECT_GE(ys[2] - ys[1], 12.0);
}

}  // namespace
