// What the history says about a measurement across boards: its spread, how
// capable the process is (Cpk from the spread within, Ppk from the spread
// overall, each with its lower confidence bound), and, on request, its
// control chart and run rules; the same for every store.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history/history.h"
#include "history/spc.h"

// Below this a process is not capable.
constexpr double kCapableCpk = 1.33;

struct MeasurementSummary {
    std::string sequence, step, measurement, units;
    std::size_t count = 0;                     // values (a missing value is not counted)
    std::size_t runs = 0;                      // runs that measured it
    std::optional<double> mean, sd, min, max;  // sd: the sample standard deviation
    std::optional<double> sd_within;           // the mean moving range / 1.128
    std::optional<double> low, high;           // the latest run's limits
    std::optional<double> marginal_low, marginal_high;
    // Cpk from the spread within, Ppk from the overall one; one-sided where
    // one limit is given; each with its one-sided 95 % lower bound.
    std::optional<double> cpk, cpl, cpu, cpk_lower_95;
    std::optional<double> ppk, ppl, ppu, ppk_lower_95;
    double marginal_fraction = 0, fail_fraction = 0;  // of the runs; FAIL and ERROR fail
    // True where the values lie too far apart for a double: no spread, no
    // index, no flag.
    bool not_finite = false;
    // An alarm of a rule that decides control among the latest points.
    std::optional<SeriesAlarm> standing;
    // "not in control" (while an alarm stands), else "capable" (Cpk's lower
    // bound at 1.33 or more), "not capable" (Cpk below 1.33), "not yet
    // shown" (between: too few boards to be sure); empty without a Cpk.
    std::string capability;
    bool drifts = false;  // Ppk far below Cpk: the spread overall beyond the spread within
};

// The latest points among which a standing alarm says "not in control".
constexpr std::size_t kControlPoints = 25;
// The latest points a chart shows without --since.
constexpr std::size_t kChartPoints = 1000;
// The latest alarms listed of each measurement.
constexpr std::size_t kListedAlarms = 20;

// The centre and sigma the books' chart keeps in a series' state, if set.
std::optional<Chart> kept_chart(const std::string& state);

// A capability index's one-sided 95 % lower confidence bound from `n`
// values (Bissell's approximation).
double lower_bound_95(double index, std::size_t n);

// The summary of each measurement from its totals.
std::vector<MeasurementSummary> summarize(const std::vector<MeasurementTotals>& totals);

// A measurement's chart: the points shown, in landing order (the window
// asked, or the latest kChartPoints), its centre and limits with the alarms
// among those points, and the latest alarms and counts of all.
struct MeasurementChart {
    std::vector<Point> points;
    std::optional<Chart> chart;
    std::vector<SeriesAlarm> latest;
    std::vector<std::pair<std::string, std::uint64_t>> counts;  // by rule, of all the alarms
};

// Everything --summary prints: the measurements, and with --spc each one's
// chart; the last runs (running ones included) and the aborted runs, which
// are left out of the figures.
struct Summary {
    std::vector<MeasurementSummary> measurements;
    std::vector<HistoryRun> runs, aborted;
    bool spc = false;
    SpcSettings settings;
    std::vector<MeasurementChart> charts;  // with spc, one a measurement
};

// Reads the summary from the history: the figures, the last runs and, with
// `charts`, each measurement's chart: its points from `chart_since` on (the
// filter's --since), or the latest; the books' chart and alarms, or where the
// settings differ from the books' or a baseline date is given, the rules run
// again over the points shown.
bool read_summary(History& history, const SummaryFilter& filter, bool charts,
                  const std::string& baseline_since, Summary& summary, std::string& error);

std::string summary_text(const Summary& summary);
std::string summary_json(const Summary& summary);
