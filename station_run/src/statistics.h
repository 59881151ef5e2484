// What the history says about a measurement across boards: its spread and
// whether the process is capable (Cpk), the same for every store.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "history.h"

// Below this a process is not capable.
constexpr double kCapableCpk = 1.33;

struct MeasurementSummary {
    std::string sequence, step, measurement, units;
    std::size_t count = 0;                            // values (a missing value is not counted)
    std::size_t runs = 0;                             // runs that measured it
    std::optional<double> mean, sd, min, max;         // sd: the sample standard deviation
    std::optional<double> low, high;                  // the latest run's limits
    std::optional<double> cpk, cpl, cpu;              // none without a limit or a spread
    double marginal_fraction = 0, fail_fraction = 0;  // of the runs; FAIL and ERROR fail
};

// The summary of each measurement from its totals.
std::vector<MeasurementSummary> summarize(const std::vector<MeasurementTotals>& totals);

// The summary as text, and as JSON, with the last runs (running ones
// included) and the aborted runs left out of the figures.
std::string summary_text(const std::vector<MeasurementSummary>& summaries,
                         const std::vector<HistoryRun>& runs,
                         const std::vector<HistoryRun>& aborted);
std::string summary_json(const std::vector<MeasurementSummary>& summaries,
                         const std::vector<HistoryRun>& runs,
                         const std::vector<HistoryRun>& aborted);
