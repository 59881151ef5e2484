// What the run rules need of one measurement's series as the runs land: its
// baseline until the chart is set, then the rules' own state, kept as text
// in the history between runs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "spc.h"

// The settings the history keeps its charts and alarms by.
SpcSettings kept_settings();

// An alarm a rule raised at a point, the point named by its run's landing.
struct RaisedAlarm {
    Rule rule;
    std::uint64_t landed;
    std::size_t span;  // the points that made it fire, back from this one
};

struct SeriesState {
    // The baseline's points (value, landing) until it is whole; then the
    // chart's watch, or none where the baseline had no spread.
    std::vector<std::pair<double, std::uint64_t>> baseline;
    bool charted = false;
    std::optional<RuleWatch> watch;
    std::uint64_t points = 0;
    std::optional<double> last;                      // the last value, for the next moving range
    std::array<std::uint64_t, kRuleCount> alarms{};  // raised so far, by rule

    // What a point brings: its moving range and EWMA (once the chart is set),
    // the alarms raised, and the EWMA of the baseline's points when this one
    // completes it.
    struct Taken {
        std::optional<double> moving_range, ewma;
        std::vector<RaisedAlarm> alarms;
        std::vector<std::pair<std::uint64_t, double>> earlier_ewma;  // landing, EWMA
    };
    Taken take(double value, std::uint64_t landed);

    std::string saved() const;
    // A state from its text; a fresh one from none or a text that is not one.
    static SeriesState restored(const std::optional<std::string>& text);
};
